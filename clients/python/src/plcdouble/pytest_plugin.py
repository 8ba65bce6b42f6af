"""pytest plugin: the ``plc`` fixture, a plcdouble server for a test.

    @pytest.mark.plcdouble(cpu="s7-1500", program="line.lua", args=["--clock", "manual"])
    def test_line(plc):
        ...

Each test gets a server of its own. ``scope="module"`` in the marker (usually as a module's
``pytestmark``) shares one server among the module's tests that ask for the same settings and
resets it (:meth:`plcdouble.Plc.reset`) before each test but the first. Registered through the
``pytest11`` entry point, or with ``-p plcdouble.pytest_plugin``.
"""

from __future__ import annotations

import os

import pytest

import plcdouble

_SETTINGS = ("cpu", "config", "program", "args", "binary", "timeout", "http_token", "scope")
_SCOPES = ("function", "module")


def pytest_addoption(parser):
    group = parser.getgroup("plcdouble")
    group.addoption("--plcdouble-binary", metavar="PATH", default=None,
                    help="the plcdouble binary for the plc fixture (default: PLCDOUBLE_BINARY, "
                         "then plcdouble on PATH)")


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "plcdouble(cpu=None, config=None, program=None, args=(), binary=None, timeout=10.0, "
        "http_token=None, scope='function'): how the plc fixture starts its plcdouble server; "
        "config and program are relative to the test file's folder when found there; "
        "scope='module' shares one server among a module's tests, reset before each")


def _relative_to_test(path, test_folder):
    if path is None or os.path.isabs(os.fspath(path)):
        return path
    beside = os.path.join(test_folder, os.fspath(path))
    return beside if os.path.exists(beside) else path


def _settings(request) -> dict:
    """The marker's settings, the closest marker's first (a test's over its module's)."""
    settings = {}
    for marker in request.node.iter_markers("plcdouble"):
        if marker.args:
            raise pytest.UsageError("@pytest.mark.plcdouble takes keyword arguments only")
        for key, value in marker.kwargs.items():
            if key not in _SETTINGS:
                raise pytest.UsageError(f"@pytest.mark.plcdouble: unknown setting {key!r} "
                                        f"(known: {', '.join(_SETTINGS)})")
            settings.setdefault(key, value)
    scope = settings.setdefault("scope", "function")
    if scope not in _SCOPES:
        raise pytest.UsageError(f"@pytest.mark.plcdouble: scope is 'function' or 'module', "
                                f"not {scope!r}")
    folder = os.path.dirname(str(request.node.fspath))
    for key in ("config", "program"):
        settings[key] = _relative_to_test(settings.get(key), folder)
    settings["args"] = tuple(os.fspath(argument) for argument in settings.get("args", ()))
    if settings.get("binary") is None:
        settings["binary"] = request.config.getoption("plcdouble_binary")
    return settings


def _stop(plc: plcdouble.Plc) -> None:
    code = plc.stop()
    if code != 0:
        pytest.fail(f"plcdouble exited with status {code}; its output:\n{plc.output}",
                    pytrace=False)


@pytest.fixture(scope="module")
def _plcdouble_module_servers():
    servers = {}
    yield servers
    for plc in servers.values():
        _stop(plc)


@pytest.fixture
def plc(request, _plcdouble_module_servers):
    """A running plcdouble server (:class:`plcdouble.Plc`), set up by the plcdouble marker."""
    settings = _settings(request)
    scope = settings.pop("scope")
    if scope == "function":
        server = plcdouble.start(**settings)
        yield server
        _stop(server)
        return
    key = repr(sorted(settings.items()))
    server = _plcdouble_module_servers.get(key)
    if server is not None and server.running:
        server.reset()
    else:
        server = _plcdouble_module_servers[key] = plcdouble.start(**settings)
    yield server
