"""The `feltwise` commands: one module per command, and this table.

Each module has `add_parser(subparsers)`, which adds its subcommand and
arguments, and `run(args)`, which runs it and returns the exit status; it
may also have `parse_args(argv)` for a command that argparse alone parses
wrongly (registers). The parser and the dispatch in cli/__init__.py both read
`COMMANDS`: a new command is one new module and one row. The modules import
what only running needs (numpy, Zenoh, matplotlib) inside `run`, so
`feltwise --help` and `feltwise simulate` start without it.
"""

import importlib

# name -> module under feltwise.cli.commands, in the order `feltwise --help` lists them
COMMANDS = {
    "simulate": "simulate",
    "stream": "stream",
    "view": "view",
    "record": "record",
    "publish": "publish",
    "ros2": "ros2",
    "params": "params",
    "registers": "registers",
    "ports": "ports",
}


def load(name):
    return importlib.import_module(f"{__name__}.{COMMANDS[name]}")
