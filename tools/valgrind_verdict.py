"""Judges a valgrind memcheck XML report for factsift.

Fails on any invalid read or write, use of uninitialised memory or bad free,
wherever it happened, and on memory definitely lost that the module
allocated: a block whose allocation stack reaches a frame of the extension
without passing through the interpreter's evaluation loop on the way (so an
allocation by Python code that the module merely called, such as an import
inside traceback.print_exc, is the interpreter's). CPython 3.12 and later
leave some immortal objects unreleased at exit; those have no such frame.
"""
import sys
import xml.etree.ElementTree as ET

EXTENSION = "factsift.cpython"
EVAL_LOOP = "_PyEval_EvalFrameDefault"


def frames(error):
    stack = error.find("stack")
    for frame in stack.iter("frame") if stack is not None else ():
        yield frame.findtext("fn") or "", frame.findtext("obj") or ""


def module_allocated(error):
    for fn, obj in frames(error):
        if EXTENSION in obj:
            return True
        if fn == EVAL_LOOP:
            return False
    return False


def describe(error):
    lines = [f"{error.findtext('kind')}: {error.findtext('what') or error.findtext('xwhat/text')}"]
    lines += [f"    {fn or '?'} ({obj})" for fn, obj in list(frames(error))[:25]]
    return "\n".join(lines)


def main(path):
    errors = ET.parse(path).getroot().findall("error")
    bad = [e for e in errors
           if not e.findtext("kind").startswith("Leak_") or
           (e.findtext("kind") == "Leak_DefinitelyLost" and module_allocated(e))]
    for error in bad:
        print(describe(error), file=sys.stderr)
    others = sum(e.findtext("kind") == "Leak_DefinitelyLost" for e in errors if e not in bad)
    print(f"check-valgrind: {len(bad)} problem(s); {others} loss record(s) of the interpreter's own")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
