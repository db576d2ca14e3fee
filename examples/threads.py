"""Loggers shared and created across threads."""

import threading

from log_main import VarnelLog

shared = VarnelLog("threads.shared", file="logs/threads.log", console=False)


def work(n: int) -> None:
    own = VarnelLog(f"threads.worker{n}", console=False, file=f"logs/worker{n}.log")
    for i in range(100):
        shared.info("worker", n, "line", i)  # logging calls take no module lock
        own.debug("private line", i)
    own.close()                               # the factory and close() are serialised


threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
for t in threads:
    t.start()
for t in threads:
    t.join()
shared.close()

with open("logs/threads.log", encoding="utf-8") as f:
    print("lines:", len(f.readlines()))  # lines: 800
