"""The one exception type for input varkel cannot work with."""


class InputError(ValueError):
    """The data or the options cannot be searched; the message says why."""
