"""Readings from /proc. Each reading has a parser of the file's text beside it, so that a test
can feed it a recorded sample."""

import os
import platform

CLK_TCK = os.sysconf("SC_CLK_TCK")


def _read(path):
    with open(path) as f:
        return f.read()


def stat_cpu_ticks(text):
    """utime + stime from the text of /proc/PID/stat (fields 14 and 15 of the line). The command
    name in parentheses may hold spaces and parentheses: the fields are counted after the last
    ")"."""
    fields = text.rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def proc_cpu_ticks(pid):
    return stat_cpu_ticks(_read(f"/proc/{pid}/stat"))


def proc_tree(pid):
    """`pid` and its children (a supervisor or master and its workers)."""
    try:
        return [pid] + [int(c) for c in _read(f"/proc/{pid}/task/{pid}/children").split()]
    except OSError:
        return [pid]


def tree_cpu_ticks(pid):
    total = 0
    for p in proc_tree(pid):
        try:
            total += proc_cpu_ticks(p)
        except OSError:
            pass  # a worker that has just gone
    return total


def status_rss_kib(text):
    """VmRSS in KiB from the text of /proc/PID/status; 0 where it has none (a zombie)."""
    for line in text.splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def proc_rss_kib(pid):
    try:
        return status_rss_kib(_read(f"/proc/{pid}/status"))
    except OSError:
        return 0


def tree_rss_kib(pid):
    return sum(proc_rss_kib(p) for p in proc_tree(pid))


def proc_fd_count(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return 0


def limits_nofile_soft(text):
    """The soft limit on open files in the text of /proc/PID/limits, as it is written there
    ("1024", "unlimited"); "?" where the line is missing."""
    for line in text.splitlines():
        if line.startswith("Max open files"):
            return line.split()[3]
    return "?"


def proc_nofile_soft(pid):
    try:
        return limits_nofile_soft(_read(f"/proc/{pid}/limits"))
    except OSError:
        return "?"


def snmp_passive_opens(text):
    """The kernel's count of accepted TCP connections in the text of /proc/net/snmp: the "Tcp:"
    heading line names the columns, the next "Tcp:" line holds the values."""
    rows = [line.split() for line in text.splitlines() if line.startswith("Tcp:")]
    return int(rows[1][rows[0].index("PassiveOpens")])


def tcp_passive_opens():
    return snmp_passive_opens(_read("/proc/net/snmp"))


def stat_cpu_busy_ticks(text, cpu):
    """The ticks one CPU spent on anything but waiting, from the text of /proc/stat: user, nice,
    system, irq and softirq (not idle, iowait or steal)."""
    for line in text.splitlines():
        if line.startswith(f"cpu{cpu} "):
            v = [int(x) for x in line.split()[1:]]
            return v[0] + v[1] + v[2] + v[5] + v[6]
    return 0


def cpu_busy_ticks(cpu):
    return stat_cpu_busy_ticks(_read("/proc/stat"), cpu)


def machine_info():
    model = "unknown"
    for line in _read("/proc/cpuinfo").splitlines():
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    with open("/proc/meminfo") as f:
        mem = int(f.readline().split()[1]) // 1024
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": platform.release(), "mem_mib": mem}
