#!/usr/bin/env python3
"""The --json record read back by a real JSON parser: every line an object,
every path restored byte for byte (names that are not UTF-8, controls,
quotes), what it says went is what went, the dry run foresees the real run
(under --older-than too, and where --trash puts each file), and the record
is the same for any number of threads. Usage: json_report_test.py BUILDSWEEP"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

BINARY = os.path.abspath(sys.argv[1])
TYPES = {"run", "root", "folder", "delete", "would_delete", "trash", "would_trash", "kept",
         "left_alone", "error", "count", "stopped", "total", "prompt"}
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what, file=sys.stderr)


def run(root, *arguments, env=None):
    done = subprocess.run([BINARY, *arguments], cwd=root, stdin=subprocess.DEVNULL,
                          capture_output=True, env=env)
    return done.returncode, done.stdout, done.stderr


def parse(out):
    """The objects of a record, each line held to the rules of the format."""
    objects = []
    for line in out.split(b"\n")[:-1]:
        # Nothing raw that could break a line or drive a terminal.
        check(all(b >= 0x20 and b != 0x7f for b in line), "raw control byte in %r" % line)
        check(not any(line[i] == 0xc2 and 0x80 <= line[i + 1] <= 0x9f
                      for i in range(len(line) - 1)), "raw C1 control in %r" % line)
        obj = json.loads(line.decode("utf-8"))
        check(isinstance(obj, dict) and obj.get("type") in TYPES, "odd line %r" % line)
        objects.append(obj)
    check(out.endswith(b"\n"), "record does not end with a line feed")
    check(objects and objects[0]["type"] == "run" and objects[0]["version"] == 1,
          "the record does not open with the run and its version")
    check(objects and objects[-1]["type"] == "total", "the record does not end with the total")
    return objects


def path_of(obj, key="path"):
    if key + "_hex" in obj:
        return bytes.fromhex(obj[key + "_hex"])
    return obj[key].encode("utf-8")


def files_below(root):
    found = set()
    for folder, folders, files in os.walk(root):
        for name in files + [f for f in folders if os.path.islink(os.path.join(folder, f))]:
            found.add(os.path.join(folder, name))
    return found


def make(root, relative, content=b""):
    path = os.path.join(root, relative)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content)
    return path


def check_counts(objects, deletion):
    """Each folder's count follows it and adds up its deletions; so does the total."""
    in_folder = None
    total = 0
    for obj in objects:
        if obj["type"] == "folder":
            in_folder, deleted = path_of(obj), 0
        elif obj["type"] == deletion:
            check(in_folder is not None and os.path.dirname(path_of(obj)) == in_folder,
                  "deletion outside its folder: %r" % obj)
            deleted += 1
        elif obj["type"] == "count":
            check(path_of(obj) == in_folder and obj["deleted"] == deleted, "count %r" % obj)
            total += deleted
    check(objects[-1]["deleted"] == total, "total %r against %d" % (objects[-1], total))


def names_round_trip(scratch):
    root = os.path.join(scratch, b"names")
    outside = make(scratch, b"outside/o.obj")
    names = [b"sub/a.obj", b"sub/keep.c", b"sub/ctl\x01\x1b[31m\n\t.obj", b'sub/q"uote\\back.obj',
             b"sub/del\x7f.tmp", b"sub/c1\xc2\x85.log", b"bad\xff.obj", b"dir\xfe\xfd/x.obj",
             b"sur\xed\xa0\x80.bak", b"ov\xc0\xaf.obj", b"cut\xe2\x82.tmp", b"big\xf4\x90\x80\x80.map",
             "한글/파일.obj".encode(), "\u00e9t\u00e9\u2028.log".encode(),
             "emoji\U0001F600.pch".encode(), b"sub/deeper/sized.ilk"]
    for name in names:
        make(root, name, b"x" * len(name))
    os.symlink(outside, os.path.join(root, b"l.obj"))
    os.symlink(os.path.dirname(outside), os.path.join(root, b"d.obj"))
    before = files_below(root)
    sizes = {path: os.lstat(path).st_size for path in before}

    # Exclusions are bytes too: given back exactly, hex beside the list
    # only where one is not UTF-8.
    patterns = [b"bad\xff*", "한*".encode(), b"*.tmp"]
    excluding = []
    for pattern in patterns:
        excluding += [b"-x", pattern]
    status, out, err = run(root, "-n", "--json", *excluding)
    check(status == 0 and err == b"", "dry run with exclusions: %d %r" % (status, err))
    objects = parse(out)
    check(objects[0]["exclude"] == ["bad\ufffd*", "한*", "*.tmp"] and
          [bytes.fromhex(h) for h in objects[0].get("exclude_hex", [])] == patterns,
          "run object %r" % objects[0])
    would = {path_of(o) for o in objects if o["type"] == "would_delete"}
    check(not any(b"bad\xff" in p or "한".encode() in p or p.endswith(b".tmp") for p in would),
          "an exclusion did not hold: %r" % sorted(would))
    status, out, err = run(root, "-n", "--json", "-x", "*.tmp")
    check(parse(out)[0]["exclude"] == ["*.tmp"] and b"exclude_hex" not in out,
          "valid exclusions got hex: %r" % out[:200])

    status, dry_out, dry_err = run(root, "-n", "--json")
    check(status == 0 and dry_err == b"", "dry run: %d %r" % (status, dry_err))
    dry = parse(dry_out)
    check(dry[0]["dry_run"] is True and len(dry[0]["extensions"]) == 24, "run object %r" % dry[0])
    check(dry[1] == {"type": "root", "path": root.decode()}, "root object %r" % dry[1])
    would = [obj for obj in dry if obj["type"] == "would_delete"]
    for obj in would:
        check(obj["size"] == sizes.get(path_of(obj)), "size of %r" % obj)
        valid = True
        try:
            path_of(obj).decode("utf-8")
        except UnicodeDecodeError:
            valid = False
        check(("path_hex" in obj) != valid, "hex form only where needed: %r" % obj)
    check_counts(dry, "would_delete")
    check(dry[-1]["size"] == sum(obj["size"] for obj in would), "total size %r" % dry[-1])

    status, out, err = run(root, "--json")
    check(status == 0 and err == b"", "run: %d %r" % (status, err))
    real = parse(out)
    check(real[0]["dry_run"] is False, "run object %r" % real[0])
    deleted = [path_of(obj) for obj in real if obj["type"] == "delete"]
    check(deleted == [path_of(obj) for obj in would], "the dry run did not foresee the run")
    check_counts(real, "delete")
    gone = before - files_below(root)
    check(set(deleted) == gone and len(deleted) == len(gone),
          "said %r, went %r" % (sorted(deleted), sorted(gone)))
    # Every name but keep.c is a target, and so is the link to a file.
    check(len(gone) == len(names), "not every target went: %r" % sorted(gone))
    check(os.path.exists(outside) and os.path.islink(os.path.join(root, b"d.obj")),
          "a link's target, or a link to a folder, went")


def same_for_any_threads(scratch):
    root = os.path.join(scratch, b"wide")
    for i in range(300):
        make(root, b"f%d/s%d/x%d.obj" % (i % 17, i, i))
        make(root, b"f%d/y%d.tmp" % (i % 17, i))
    one = run(root, "-n", "--json", "-j", "1")
    check(one[0] == 0 and one[1].count(b"would_delete") == 600, "one thread: %r" % (one[0],))
    for jobs in ([], ["-j", "2"], ["-j", "7"]):
        check(run(root, "-n", "--json", *jobs) == one, "record differs with %r" % jobs)


def ages(scratch):
    root = os.path.join(scratch, b"ages")
    now = time.time()
    dates = {b"old.obj": now - 10 * 86400, b"day.obj": now - 86400 - 120,
             b"hour.obj": now - 3600, b"future.obj": now + 365 * 86400}
    for folder in (b"", b"sub/"):
        for name, date in dates.items():
            path = make(root, folder + name)
            os.utime(path, (date, date))
    dry = parse(run(root, "-n", "--json", "--older-than", "1d")[1])
    check(dry[0]["older_than"] == 86400, "run object %r" % dry[0])
    status, out, err = run(root, "--json", "--older-than=24h")
    real = parse(out)
    would = [path_of(o) for o in dry if o["type"] == "would_delete"]
    went = [path_of(o) for o in real if o["type"] == "delete"]
    check(status == 0 and err == b"", "aged run: %d %r" % (status, err))
    check(would == went, "dry run %r, real run %r" % (would, went))
    expected = {os.path.join(root, f + n) for f in (b"", b"sub/") for n in (b"old.obj", b"day.obj")}
    check(set(went) == expected, "went %r" % sorted(went))
    check(files_below(root) == {os.path.join(root, f + n) for f in (b"", b"sub/")
                                for n in (b"hour.obj", b"future.obj")}, "recent work went")


def tracked(scratch):
    git = shutil.which("git")
    check(git is not None, "git is not installed")
    if git is None:
        return
    root = os.path.join(scratch, b"repo")
    make(root, b"t.obj")
    old = make(root, b"old.obj")
    two_days_ago = time.time() - 2 * 86400
    os.utime(old, (two_days_ago, two_days_ago))
    make(root, b"sub/u.obj")
    quiet = {"cwd": root, "check": True, "capture_output": True}
    subprocess.run([git, "init", "-q"], **quiet)
    subprocess.run([git, "add", "t.obj", "old.obj"], **quiet)

    def kept_object(name):
        return {"type": "kept", "path": os.path.join(root, name).decode(), "rule": "tracked"}
    # Kept for its age, a tracked file is no more reported or counted than
    # any other: only the old one is kept for being tracked.
    for arguments in (["-n", "--json", "--older-than", "1d"], ["--json", "--older-than=1d"]):
        objects = parse(run(root, *arguments)[1])
        kept = [o for o in objects if o["type"] == "kept"]
        check(kept == [kept_object(b"old.obj")], "%r kept %r" % (arguments, kept))
        check(objects[-1]["kept_tracked"] == 1 and objects[-1]["deleted"] == 0,
              "%r total %r" % (arguments, objects[-1]))
    for arguments in (["-n", "--json"], ["--json"]):
        objects = parse(run(root, *arguments)[1])
        kept = [o for o in objects if o["type"] == "kept"]
        check(kept == [kept_object(b"old.obj"), kept_object(b"t.obj")],
              "%r kept %r" % (arguments, kept))
        check(objects[-1]["kept_tracked"] == 2 and objects[-1]["deleted"] == 1,
              "%r total %r" % (arguments, objects[-1]))
    check(os.path.exists(os.path.join(root, b"t.obj")) and os.path.exists(old),
          "a tracked file went")
    # A message naming a path that is not UTF-8 keeps its bytes in hex.
    bare = os.path.join(scratch, b"mirror\xff.git")
    subprocess.run([git, "init", "-q", "--bare", bare], check=True, capture_output=True)
    status, out, err = run(bare, "--json")
    errors = [o for o in parse(out) if o["type"] == "error"]
    check(status == 2 and len(errors) == 1 and
          bytes.fromhex(errors[0].get("message_hex", "")) == err.rstrip(b"\n") and bare in err,
          "database message %r, %r" % (errors, err))
    # So does a reason: a sparse index's folder entry that is not UTF-8.
    sparse = os.path.join(scratch, b"sparse")
    make(sparse, b"in/a.txt")
    make(sparse, b"d\xff/b.txt")
    quiet = {"cwd": sparse, "check": True, "capture_output": True}
    subprocess.run([git, "init", "-q"], **quiet)
    subprocess.run([git, "add", "-A"], **quiet)
    subprocess.run([git, "-c", "user.name=t", "-c", "user.email=t@t", "commit", "-q", "-m", "x"],
                   **quiet)
    subprocess.run([git, "sparse-checkout", "init", "--cone", "--sparse-index"], **quiet)
    subprocess.run([git, "sparse-checkout", "set", "in"], **quiet)
    make(sparse, b"d\xff/new.obj")
    status, out, err = run(sparse, "-n", "--json")
    errors = [o for o in parse(out) if o["type"] == "error"]
    check(status == 2 and len(errors) == 1 and
          bytes.fromhex(errors[0].get("reason_hex", "")) == b"the sparse index holds 'd\xff/' as one entry",
          "sparse reason %r, %r" % (errors, err))


def trashed(scratch):
    """--trash: each file's line names its trash and, in a real run, the
    entry it became there, which holds the file itself."""
    root = os.path.join(scratch, b"trashed")
    names = [b"a.obj", b"sub/bad\xff.obj", "한글/x.log".encode(), b"sub/q\"uote.tmp", b"c/a.obj"]
    for name in names:
        make(root, name, name)
    env = dict(os.environ, HOME=os.path.join(scratch, b"home").decode("utf-8"))
    env.pop("XDG_DATA_HOME", None)
    trash = os.path.join(scratch, b"home/.local/share/Trash")
    status, dry_out, err = run(root, "-n", "--json", "--trash", env=env)
    check(status == 0 and err == b"", "dry trash run: %d %r" % (status, err))
    check(not os.path.exists(trash), "a dry run made the trash")
    dry = parse(dry_out)
    check(dry[0].get("trash") is True, "run object %r" % dry[0])
    would = [o for o in dry if o["type"] == "would_trash"]
    check(all(path_of(o, "trash") == trash and "size" in o for o in would), "would %r" % would)
    check_counts(dry, "would_trash")
    status, out, err = run(root, "--json", "--trash", "-j", "2", env=env)
    check(status == 0 and err == b"", "trash run: %d %r" % (status, err))
    real = parse(out)
    went = [o for o in real if o["type"] == "trash"]
    check([path_of(o) for o in went] == [path_of(o) for o in would],
          "the dry run did not foresee the trash run")
    check_counts(real, "trash")
    check(real[-1]["trashed"] == len(names), "total %r" % real[-1])
    entries = set()
    for o in went:
        entry = path_of(o, "trashed_as")
        entries.add(entry)
        check(path_of(o, "trash") == trash and os.path.dirname(entry) == trash + b"/files",
              "trash of %r" % o)
        with open(entry, "rb") as f:
            check(f.read() == os.path.relpath(path_of(o), root), "content of %r" % entry)
    check(len(entries) == len(names) and files_below(root) == set(), "entries %r" % entries)


def main():
    scratch = tempfile.mkdtemp(prefix="buildsweep-json.").encode()
    try:
        names_round_trip(scratch)
        same_for_any_threads(scratch)
        ages(scratch)
        tracked(scratch)
        trashed(scratch)
    finally:
        shutil.rmtree(scratch)
    print("%d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
