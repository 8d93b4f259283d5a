"""Suite-wide options. --fail-on-skip (make test and make test-release pass it in CI) fails the run
when any test was skipped: there every tool the suite needs is installed, so a skip is a test that
silently did not run."""
import pytest


def pytest_addoption(parser):
    parser.addoption("--fail-on-skip", action="store_true",
                     help="fail the run if any test or test module was skipped")


def pytest_sessionfinish(session, exitstatus):
    if not session.config.getoption("--fail-on-skip") or exitstatus != pytest.ExitCode.OK:
        return
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    skipped = reporter.stats.get("skipped", []) if reporter else []
    if skipped:
        for report in skipped:
            where, _, reason = report.longrepr if isinstance(report.longrepr, tuple) else ("", 0, str(report.longrepr))
            print(f"\nnot run: {report.nodeid or where}: {reason}", end="")
        print(f"\n--fail-on-skip: {len(skipped)} test(s) skipped")
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
