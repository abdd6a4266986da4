"""The one exception type for input varkel cannot work with."""


class InputError(ValueError):
    """The data or the options cannot be searched; the message says why.

    ``command_line`` is the same refusal in the command line's words (its
    flags for the Python options), where they differ; else None."""

    def __init__(self, message: str, *, command_line: str | None = None) -> None:
        super().__init__(message)
        self.command_line = command_line
