"""varkel's version, in one place: the build reads it from here too."""

VERSION = "0.2.0"
