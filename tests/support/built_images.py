"""The images that the tree under test built, as pytest fixtures; the tree names them in the
environment of each suite (tests/CMakeLists.txt)."""
import os
import pathlib

import pytest


def built(variable):
    path = os.environ.get(variable)
    if not path or not pathlib.Path(path).is_file():
        pytest.fail(f"{variable} must name a built image: run the tests with dev/test")
    return pathlib.Path(path)


@pytest.fixture(scope="session")
def image():
    """The launcher image as it ships; tests change copies of it, never the image itself."""
    return built("KESTROVAN_IMAGE")


@pytest.fixture(scope="session")
def branded_image():
    """The launcher image branded from tests/support/brands/acme.toml."""
    return built("KESTROVAN_BRANDED_IMAGE")


@pytest.fixture(scope="session")
def console_twin_image():
    """The console twin built from tests/support/brands/launch-console.toml."""
    return built("KESTROVAN_CONSOLE_TWIN_IMAGE")


@pytest.fixture(scope="session")
def build_tree():
    """The build tree that built `image`."""
    path = os.environ.get("KESTROVAN_BUILD_TREE")
    if not path or not pathlib.Path(path, "CMakeCache.txt").is_file():
        pytest.fail("KESTROVAN_BUILD_TREE must name the build tree: run the tests with dev/test")
    return pathlib.Path(path)


@pytest.fixture(scope="session")
def tampered_images():
    """Launcher images built with one thing too many, which the image checks must reject."""
    return {"extra resource": built("KESTROVAN_EXTRA_RESOURCE_IMAGE"),
            "extra import": built("KESTROVAN_EXTRA_IMPORT_IMAGE")}
