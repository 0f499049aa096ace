import pytest

import flowdesigner as fd


@pytest.fixture(scope="session")
def toolbox(tmp_path_factory):
    """The toolbox of the build under test, installed once as a user installs it."""
    return fd.install_toolbox(tmp_path_factory.mktemp("prefix"))


@pytest.fixture
def home(tmp_path, toolbox):
    return fd.make_home(tmp_path / "home", toolbox)
