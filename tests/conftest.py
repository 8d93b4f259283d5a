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
    skipped = reporter.stats.get("skipped", []) if reporter else []  # none in xdist's workers
    if skipped:
        reporter.write_line("")
        reporter.write_sep("=", f"--fail-on-skip: {len(skipped)} skipped test(s) fail the run", red=True)
        for report in skipped:
            reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
            reporter.write_line(f"{report.nodeid}: {reason}")
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
