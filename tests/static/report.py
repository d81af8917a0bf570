"""The static checks' report: a line for each check, the failed ones kept."""
failures = []


def check(condition, what, detail=""):
    """Reports one check; a failed one is kept in failures."""
    print("%s  %s%s" % ("ok  " if condition else "FAIL", what, "" if condition else ": %s" % (detail,)))
    if not condition:
        failures.append(what)


def finish(summary):
    """Prints the summary and whether all passed; returns the exit status."""
    print("%s, %s" % (summary, "passed" if not failures else "%d failed" % len(failures)))
    return 1 if failures else 0
