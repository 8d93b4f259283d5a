"""python -m bitloom_xtce: the command line (see _cli.py), also installed as `bitloom-xtce`."""
import sys

from ._cli import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m bitloom_xtce"))
