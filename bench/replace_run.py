"""(e) of bench/run.py: a run over a tree whose second names are files of their
own, as after a copy by a tool that breaks hard links (cp -r, a restored
backup), where every row replaces its old name by a hard link. Measured in
callgrind instructions against a static C program that makes the same rows
with bare unlink and link calls, the least such a run can cost.
"""
import os
import shutil
import subprocess


def bare_calls_program(directory, rows):
    """A static C program that unlinks and links each row's name, or None
    without a C compiler."""
    source, program = os.path.join(directory, "bare.c"), os.path.join(directory, "bare")
    with open(source, "w") as f:
        f.write("#include <unistd.h>\nint main(int argc, char** argv) {\n"
                "  if (argc < 2 || chdir(argv[1]) != 0) return 1;\n")
        for name, target in rows:
            f.write(f'  unlink("{name}");\n  if (link("{target}", "{name}") != 0) return 1;\n')
        f.write("  return 0;\n}\n")
    built = shutil.which("cc") and subprocess.run(
        ["cc", "-O2", "-static", source, "-o", program], stderr=subprocess.DEVNULL).returncode == 0
    return program if built else None


def separate_names(root, rows, owner):
    """Makes each row's name a file of its own again, with its target's bytes."""
    for name, target in rows:
        path = os.path.join(root, name)
        if os.path.lexists(path):
            os.remove(path)
        shutil.copyfile(os.path.join(root, target), path)
        if owner:
            os.chown(path, owner.pw_uid, owner.pw_gid)


def replace_run(tool, work, rows, make_tree, instructions, table, owner, prefix):
    """owner: the user whose tree it is when run as root (run with prefix), else None."""
    title = "(e) replacing 14 old second names that are files of their own by hard links"
    bare = bare_calls_program(work, rows)
    if not bare:
        print(f"\n{title}\n  skipped: needs a C compiler that links statically")
        return
    root = os.path.join(work, "separate")
    make_tree(root, 4096)
    if owner:
        for top, directories, files in os.walk(root):
            for name in [top] + [os.path.join(top, n) for n in directories + files]:
                os.lchown(name, owner.pw_uid, owner.pw_gid)
    counts = {}
    for label, command in (("bare unlink and link calls (static C)", [bare, root]),
                           ("link-installer", [tool, root])):
        separate_names(root, rows, owner)
        counts[label] = instructions(command, prefix)
        for name, target in rows:
            if not os.path.samefile(os.path.join(root, name), os.path.join(root, target)):
                raise SystemExit(f"{label} left {name} apart from {target}")
    floor = counts["bare unlink and link calls (static C)"]
    who = ", a user's run" if owner else ""
    table(title + who, ["command", "instructions", "vs bare calls"],
          [[label, f"{count:,}", f"{count / floor:.2f}"] for label, count in counts.items()])
