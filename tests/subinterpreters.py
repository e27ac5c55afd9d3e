"""Running code in a sub-interpreter that admits single-phase extension
modules, over the private module each CPython release offers for it."""

try:
    import _interpreters  # 3.13 and newer

    def run_in_subinterpreter(code):
        """Runs `code` in a new sub-interpreter; returns the text of the
        exception it ended with ("ImportError: ..."), or None."""
        interp = _interpreters.create("legacy")
        try:
            error = _interpreters.run_string(interp, code)
            return error and error.formatted
        finally:
            _interpreters.destroy(interp)

except ImportError:
    import re

    import _xxsubinterpreters as _interpreters  # 3.10 to 3.12

    def run_in_subinterpreter(code):
        interp = _interpreters.create(isolated=False)
        try:
            _interpreters.run_string(interp, code)
            return None
        except _interpreters.RunFailedError as error:
            # Reported as "<class 'ImportError'>: ..." here.
            return re.sub(r"^<class '(\w+)'>", r"\1", str(error))
        finally:
            _interpreters.destroy(interp)
