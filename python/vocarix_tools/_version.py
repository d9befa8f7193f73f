# The version of vocarix, written only here: the build reads it for the
# package metadata and for both extension modules.
__version__ = "0.1.0"
