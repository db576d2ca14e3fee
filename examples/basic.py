"""Get a logger with one call and write coloured lines to the console and a file."""

import os
import sys
import tempfile

from log_main import VarnelLog


def main(directory: str) -> str:
    path = os.path.join(directory, "logs", "app.log")
    log = VarnelLog("example.app", file=path, handler_type="rotating")
    log.debug("debug details", {"attempt": 1})
    log.info("started", 3, "workers")
    log.warning("disk at", 91, "%")
    log.error("request failed:", ValueError("bad input"))
    log.critical("shutting down")

    log.set_console_level(30)  # the console now shows WARNING and above
    log.info("only in the file")
    log.close()
    return path


if __name__ == "__main__":
    target = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="log_main-")
    written = main(target)
    print(f"\nThe file {written} holds:", file=sys.stderr)
    with open(written, encoding="utf-8") as f:
        sys.stderr.write(f.read())
