"""The verdict every rejects test of tests/images gives: each sound input passes the check under
test, and each planted fault makes it fail and say why. Every problem is listed with FAIL: and
the last line sums them up; the exit code is 1 when there is one."""


def fail_lines(output):
    """The messages of the FAIL: lines of a check's output."""
    return [line[len("FAIL: "):] for line in output.splitlines() if line.startswith("FAIL: ")]


class Judge:
    def __init__(self):
        self.failures = []

    def sound(self, label, code, detail=""):
        """A sound input: the check must pass (exit code 0)."""
        if code != 0:
            self.failures.append(f"refused: {label}: {detail}")
        else:
            print(f"accepted: {label}")

    def planted(self, label, code, reported, detail=""):
        """A planted fault: the check must fail and report it (reported: its messages)."""
        if code == 0 or not reported:
            self.failures.append(f"not caught: {label}" + (f": {detail}" if detail else ""))
        else:
            print(f"caught: {label}: {reported[0]}")

    def verdict(self, summary):
        """Prints the problems and summary (what was tried) and returns the exit code."""
        for failure in self.failures:
            print("FAIL: " + failure)
        print(f"{summary}, {len(self.failures)} problems")
        return 1 if self.failures else 0
