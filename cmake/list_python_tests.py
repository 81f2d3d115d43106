"""Lists the test cases of Python test modules, one unittest name a line
(module.Class.method), so that each can be registered as a test of its own.
A module that cannot be loaded is listed whole: running it shows why.

    python3 -B list_python_tests.py FOLDER MODULE...
"""
import sys
import unittest


def case_ids(suite):
    for test in suite:
        if isinstance(test, unittest.TestSuite):
            yield from case_ids(test)
        else:
            yield test.id()


def main():
    folder, modules = sys.argv[1], sys.argv[2:]
    sys.path.insert(0, folder)
    for module in modules:
        try:
            ids = list(case_ids(unittest.defaultTestLoader.loadTestsFromName(module)))
        except Exception:  # whatever keeps it from loading: listed whole below
            ids = []
        if not ids or any(i.startswith("unittest.loader.") for i in ids):
            ids = [module]
        print("\n".join(ids))


if __name__ == "__main__":
    main()
