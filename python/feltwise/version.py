# The one place the version is written: pyproject.toml reads it for the
# package, CMakeLists.txt for the project.
__version__ = "0.1.6b0"
