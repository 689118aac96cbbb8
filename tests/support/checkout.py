"""The checkout under test: its root, and the folders of the packager's and the contributor's
commands."""
import pathlib

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
KIT = REPOSITORY / "kit"
DEV = REPOSITORY / "dev"
