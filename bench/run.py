#!/usr/bin/env python3
"""Measures link-installer against what a user would otherwise write.

(a) a full hard-link run (a rerun over a finished tree): instruction counts
    under callgrind, which repeat exactly, and median wall times, against a
    static empty C program, the least any process costs; run as root, both a
    root run on root's tree, which checks every directory on its way, and a
    user's run on that user's own tree;
(b) the copy fallback: big targets, with "bin" on another file system so the
    eight rows linking into it must copy; runs alternate with the shell loop,
    and the median of the per-pair time ratio is reported;
(c) peak memory (maximum resident set) of both runs;
(d) a rerun over copies on a disk: "bin" on a loop-mounted ext4 image, eight
    copies of 32 MiB, the first run against the rerun, which keeps them;
(e) old second names that are files of their own, each replaced by a hard
    link, against bare unlink and link calls (bench/replace_run.py).

Usage: bench/run.py [--tool build/link-installer] [--size-mib 64] [--runs 15] [--disk-mib 32]
"""
import argparse
import os
import pwd
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from replace_run import replace_run

# The rows the tool handles, as (second name, existing target).
ROWS = [
    ("arm-uclinuxeabi/libc/thumb2/usr/bin/gdbserver", "arm-uclinuxeabi/libc/thumb2/usr/lib/bin/gdbserver"),
    ("arm-uclinuxeabi/libc/usr/bin/gdbserver", "arm-uclinuxeabi/libc/usr/lib/bin/gdbserver"),
    ("arm-uclinuxeabi/libc/armv6-m/usr/bin/gdbserver", "arm-uclinuxeabi/libc/armv6-m/usr/lib/bin/gdbserver"),
    ("arm-uclinuxeabi/bin/g++.exe", "arm-uclinuxeabi/bin/c++.exe"),
    ("bin/arm-uclinuxeabi-ar.exe", "arm-uclinuxeabi/bin/ar.exe"),
    ("bin/arm-uclinuxeabi-objdump.exe", "arm-uclinuxeabi/bin/objdump.exe"),
    ("bin/arm-uclinuxeabi-ld.real.exe", "arm-uclinuxeabi/bin/ld.real.exe"),
    ("bin/arm-uclinuxeabi-strip.exe", "arm-uclinuxeabi/bin/strip.exe"),
    ("bin/arm-uclinuxeabi-objcopy.exe", "arm-uclinuxeabi/bin/objcopy.exe"),
    ("bin/arm-uclinuxeabi-ranlib.exe", "arm-uclinuxeabi/bin/ranlib.exe"),
    ("bin/arm-uclinuxeabi-g++.exe", "bin/arm-uclinuxeabi-c++.exe"),
    ("bin/arm-uclinuxeabi-nm.exe", "arm-uclinuxeabi/bin/nm.exe"),
    ("bin/arm-uclinuxeabi-as.exe", "arm-uclinuxeabi/bin/as.exe"),
    ("bin/arm-uclinuxeabi-gcc.exe", "bin/arm-uclinuxeabi-gcc-4.4.1.exe"),
]


def make_tree(root, size, bin_elsewhere=None):
    block = os.urandom(1 << 20)
    for name, target in ROWS:
        for path in (name, target):
            os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
        with open(os.path.join(root, target), "wb") as f:
            left = size
            while left > 0:
                f.write(block[: min(left, len(block))])
                left -= len(block)
            f.write(target.encode())
    if bin_elsewhere:
        shutil.copytree(os.path.join(root, "bin"), bin_elsewhere)
        shutil.rmtree(os.path.join(root, "bin"))
        os.symlink(bin_elsewhere, os.path.join(root, "bin"))


def write_peers(directory):
    """The shell loop and the CMake script a user might write instead."""
    shell = os.path.join(directory, "links.sh")
    with open(shell, "w") as f:
        f.write("cd \"$1\" || exit 1\n")
        for name, target in ROWS:
            f.write(f"ln -f {target} {name} 2>/dev/null || cp -f {target} {name} || exit 1\n")
    cmake = os.path.join(directory, "links.cmake")
    with open(cmake, "w") as f:
        for name, target in ROWS:
            f.write(f"file(CREATE_LINK ${{ROOT}}/{target} ${{ROOT}}/{name} COPY_ON_ERROR)\n")
    return shell, cmake


def commands(tool, shell, cmake, root):
    return {
        "empty process (/bin/true)": ["/bin/true"],
        "link-installer": [tool, root],
        "shell loop (ln -f || cp)": ["/bin/sh", shell, root],
        "cmake -P file(CREATE_LINK)": ["cmake", f"-DROOT={root}", "-P", cmake],
    }


def run_timed(command):
    """Wall time of one run of command, with its output thrown away."""
    start = time.perf_counter()
    subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def peak_memory(command):
    """Peak resident memory (KiB) of the largest process of one run. GNU time
    measures it from a small parent: a child forked from this Python process
    would be charged with Python's own memory."""
    with tempfile.NamedTemporaryFile(mode="r") as report:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + command,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        return int(report.read().split()[-1])


def static_empty_program(directory):
    """A statically linked C program that does nothing, or None without a C compiler."""
    source, program = os.path.join(directory, "empty.c"), os.path.join(directory, "empty")
    with open(source, "w") as f:
        f.write("int main(void) { return 0; }\n")
    built = shutil.which("cc") and subprocess.run(
        ["cc", "-O2", "-static", source, "-o", program], stderr=subprocess.DEVNULL).returncode == 0
    return program if built else None


def as_user(user):
    """The words that run a command as user, with that user's group alone."""
    return ["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}", "--clear-groups"]


def instructions(command, prefix=()):
    """Instructions of the whole process tree, as callgrind counts them; prefix
    (such as as_user) goes before valgrind, so it is not counted."""
    with tempfile.TemporaryDirectory() as out:
        os.chmod(out, 0o777)
        subprocess.run(
            list(prefix) + ["valgrind", "--tool=callgrind", "--trace-children=yes",
             f"--callgrind-out-file={out}/callgrind.%p", f"--log-file={out}/log.%p"] + command,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            check=True)
        total = 0
        for name in os.listdir(out):
            if name.startswith("log."):
                with open(os.path.join(out, name)) as log:
                    total += sum(int(n.replace(",", ""))
                                 for n in re.findall(r"Collected : ([\d,]+)", log.read()))
        return total


def table(title, header, rows):
    print(f"\n{title}")
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    for row in [header] + rows:
        print("  " + "  ".join(str(c).rjust(w) if i else str(c).ljust(w)
                               for i, (c, w) in enumerate(zip(row, widths))))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--tool", default=os.path.join(here, "..", "build", "link-installer"))
    parser.add_argument("--size-mib", type=float, default=64, help="size of each target in (b)")
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--other-fs", default="/dev/shm", help="where (b) puts bin")
    parser.add_argument("--disk-mib", type=float, default=32, help="size of each target in (d)")
    args = parser.parse_args()
    tool = os.path.abspath(args.tool)

    # What another user runs and the trees it runs on lie apart from the
    # checkout, in a fresh directory that user can reach, wherever the
    # checkout is: a private (0700) directory above it would shut that user out.
    with tempfile.TemporaryDirectory(dir=os.path.dirname(tool)) as work, \
            tempfile.TemporaryDirectory(dir=args.other_fs) as elsewhere, \
            tempfile.TemporaryDirectory() as reachable:
        os.chmod(reachable, 0o755)
        shell, cmake = write_peers(work)

        # (a) a rerun over a finished tree: every row is a hard link again.
        root = os.path.join(work, "linked")
        make_tree(root, 4096)
        subprocess.run([tool, root], check=True)
        peers = commands(tool, shell, cmake, root)
        runs = [(label, command, ()) for label, command in peers.items()]
        floor = static_empty_program(work)
        if floor:
            runs.insert(0, ("static empty C program", [floor], ()))
        if os.geteuid() == 0:
            # The tool as root on root's tree; and as nobody on nobody's own tree.
            runs[[r[0] for r in runs].index("link-installer")] = (
                "link-installer, root on root's tree", [tool, root], ())
            nobody = pwd.getpwnam("nobody")
            their_tool = shutil.copy2(tool, reachable)
            theirs = os.path.join(reachable, "users")
            make_tree(theirs, 4096)
            for top, directories, files in os.walk(theirs):
                for name in [top] + [os.path.join(top, n) for n in directories + files]:
                    os.lchown(name, nobody.pw_uid, nobody.pw_gid)
            subprocess.run(as_user(nobody) + [their_tool, theirs], check=True)
            runs.insert(runs.index(next(r for r in runs if r[0].startswith("link-installer"))) + 1,
                        ("link-installer, a user's run (wall via setpriv)", [their_tool, theirs],
                         as_user(nobody)))
        counts = {label: instructions(command, prefix) for label, command, prefix in runs}
        floor_count = counts.get("static empty C program")
        base = counts["empty process (/bin/true)"]
        rows = []
        for label, command, prefix in runs:
            count = counts[label]
            times = [run_timed(list(prefix) + command) for _ in range(args.runs)]
            rows.append([label, f"{count:,}", f"{count / floor_count:.2f}" if floor_count else "-",
                         f"{count / base:.2f}", f"{statistics.median(times) * 1e3:.2f} ms"])
        table("(a) full hard-link run, 14 rows (rerun over a finished tree)",
              ["command", "instructions", "vs static empty", "vs /bin/true", "median wall"], rows)

        # (b) and (c): bin on another file system, so eight rows must copy.
        size = int(args.size_mib * (1 << 20))
        root = os.path.join(work, "copied")
        if os.stat(work).st_dev == os.stat(elsewhere).st_dev:
            sys.exit(f"(b) needs {args.other_fs} on another file system than {work}")
        make_tree(root, size, os.path.join(elsewhere, "bin"))
        ours, theirs, ratios = [], [], []
        for _ in range(args.runs):
            ours.append(run_timed([tool, root]))
            theirs.append(run_timed(["/bin/sh", shell, root]))
            ratios.append(theirs[-1] / ours[-1])
        for name, target in ROWS:
            with open(os.path.join(root, name), "rb") as a, open(os.path.join(root, target), "rb") as b:
                if a.read() != b.read():
                    sys.exit(f"{name} is not a copy of {target}")
        table(f"(b) copy fallback, 14 targets of {args.size_mib:g} MiB, 8 rows copy "
              f"({args.runs} alternating runs each)",
              ["command", "median wall"],
              [["link-installer", f"{statistics.median(ours) * 1e3:.1f} ms"],
               ["shell loop (ln -f || cp)", f"{statistics.median(theirs) * 1e3:.1f} ms"]])
        print(f"  median of per-pair ratio (shell loop / link-installer): "
              f"{statistics.median(ratios):.2f}x")

        # (c) peak memory: the copy run must not grow with the size of the files.
        linked = os.path.join(work, "linked")
        table("(c) peak memory, largest process of a run",
              ["command", "hard-link run", f"copy run ({args.size_mib:g} MiB files)"],
              [["link-installer", f"{peak_memory([tool, linked]):,} KiB",
                f"{peak_memory([tool, root]):,} KiB"],
               ["shell loop (ln -f || cp)", f"{peak_memory(['/bin/sh', shell, linked]):,} KiB",
                f"{peak_memory(['/bin/sh', shell, root]):,} KiB"]])

        rerun_on_disk(tool, work, args)
        owner = pwd.getpwnam("nobody") if os.geteuid() == 0 else None
        replace_run(their_tool if owner else tool, reachable if owner else work, ROWS, make_tree,
                    instructions, table, owner, as_user(owner) if owner else ())


def rerun_on_disk(tool, work, args):
    """(d): needs root, for the loop mount, and mkfs.ext4."""
    title = f"(d) rerun over 8 copies of {args.disk_mib:g} MiB, bin on a loop-mounted ext4"
    if os.geteuid() != 0 or not shutil.which("mkfs.ext4"):
        print(f"\n{title}\n  skipped: needs root and mkfs.ext4")
        return
    size = int(args.disk_mib * (1 << 20))
    image, disk = os.path.join(work, "disk.img"), os.path.join(work, "disk")
    with open(image, "wb") as f:
        f.truncate(10 * size * 5 // 4 + (64 << 20))  # the two targets in bin, and eight copies
    subprocess.run(["mkfs.ext4", "-q", "-F", image], check=True)
    os.mkdir(disk)
    subprocess.run(["mount", "-o", "loop", image, disk], check=True)
    try:
        root = os.path.join(work, "on-disk")
        make_tree(root, size, os.path.join(disk, "bin"))
        copies = [os.path.join(root, name) for name, target in ROWS
                  if name.startswith("bin/") and not target.startswith("bin/")]
        first, again = [], []
        for _ in range(args.runs):
            for copy in copies:
                if os.path.exists(copy):
                    os.remove(copy)
            first.append(run_timed([tool, root]))
            again.append(run_timed([tool, root]))
        table(title + f" ({args.runs} runs each)", ["run", "median wall"],
              [["first run (makes the copies)", f"{statistics.median(first) * 1e3:.1f} ms"],
               ["rerun (keeps them)", f"{statistics.median(again) * 1e3:.1f} ms"]])
        print(f"  median rerun / first run: {statistics.median(again) / statistics.median(first):.2f}")
    finally:
        subprocess.run(["umount", disk], check=True)


if __name__ == "__main__":
    main()
