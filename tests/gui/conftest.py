"""Fixtures of the window tests: the add-on's zip, as a user downloads it."""

import pytest

from window import package_zip


@pytest.fixture(scope="session")
def zip_path(tmp_path_factory):
    return package_zip(tmp_path_factory.mktemp("dist"))
