# SPDX-License-Identifier: MIT
"""doc/examples/Containerfile: its instructions parse as a container build reads them, it
starts from Debian 12 and installs the kvn package that scripts/package.sh names, and
doc/sharding.md points to it. With --build, and a working container tool (podman, docker or buildah) and a
kvn package at hand ($KVN_DEB, or build-deb/), the image is built and kvn run in it; without
them that half is skipped (exit 77) with the reason."""

import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
FILE = os.path.join(ROOT, "doc", "examples", "Containerfile")
KNOWN = {"FROM", "ARG", "COPY", "ADD", "RUN", "ENV", "WORKDIR", "USER", "LABEL", "ENTRYPOINT",
         "CMD", "EXPOSE", "VOLUME", "STOPSIGNAL", "HEALTHCHECK", "SHELL", "ONBUILD"}


def instructions(text):
    """(keyword, arguments) pairs: comments dropped, backslash continuations joined."""
    result, pending = [], ""
    for number, line in enumerate(text.splitlines(), 1):
        if not pending and (not line.strip() or line.lstrip().startswith("#")):
            continue
        pending += line.rstrip()
        if pending.endswith("\\"):
            pending = pending[:-1] + " "
            continue
        keyword, _, arguments = pending.strip().partition(" ")
        if keyword.upper() not in KNOWN or keyword != keyword.upper() or not arguments.strip():
            sys.exit(f"Containerfile:{number}: not an instruction: {pending.strip()}")
        result.append((keyword, " ".join(arguments.split())))
        pending = ""
    if pending:
        sys.exit("Containerfile: ends inside a continued line")
    return result


def check(steps):
    assert steps[0] == ("FROM", "debian:12"), steps[0]
    assert sum(k == "FROM" for k, _ in steps) == 1, "one stage"
    copies = [a for k, a in steps if k == "COPY"]
    assert copies == ["kvn_*.deb /tmp/"], copies
    # The pattern takes the name dpkg-buildpackage gives the package, and only that package.
    version = subprocess.run(["dpkg-parsechangelog", "-l", os.path.join(ROOT, "debian", "changelog"),
                              "-S", "Version"], capture_output=True, text=True, check=True).stdout.strip()
    pattern = re.compile("^" + copies[0].split()[0].replace(".", r"\.").replace("*", ".*") + "$")
    assert pattern.match(f"kvn_{version}_amd64.deb")
    assert not pattern.match(f"kavrin_{version}_amd64.deb")
    runs = " && ".join(a for k, a in steps if k == "RUN")
    assert "apt-get install -y --no-install-recommends /tmp/kvn_*.deb" in runs, runs
    assert "kvn --version" in runs, "the image proves kvn runs"
    for keyword in ("ENTRYPOINT", "CMD"):
        form = [a for k, a in steps if k == keyword]
        assert len(form) == 1 and isinstance(json.loads(form[0]), list), (keyword, form)
    assert json.loads([a for k, a in steps if k == "ENTRYPOINT"][0]) == ["kvn"]
    with open(os.path.join(ROOT, "doc", "sharding.md"), encoding="utf-8") as doc:
        assert "(examples/Containerfile)" in doc.read()


def build():
    tool = next((t for t in ("podman", "docker", "buildah") if shutil.which(t)), None)
    if tool is None:
        return "no container tool (podman, docker, buildah) is installed"
    probe = [tool, "info"] if tool != "buildah" else [tool, "version"]
    if subprocess.run(probe, capture_output=True).returncode != 0:
        return f"{tool} is installed but cannot run (no daemon or no rights)"
    debs = [os.environ["KVN_DEB"]] if os.environ.get("KVN_DEB") else sorted(
        glob.glob(os.path.join(ROOT, "build-deb", "kvn_*.deb")))
    if not debs:
        return "no kvn package: run scripts/package.sh or set KVN_DEB"
    with tempfile.TemporaryDirectory() as context:
        shutil.copy(FILE, context)
        shutil.copy(debs[-1], context)
        tag = f"kvn-containerfile-test:{os.getpid()}"
        command = [tool, "build" if tool != "buildah" else "bud", "-t", tag, "-f",
                   os.path.join(context, "Containerfile"), context]
        subprocess.run(command, check=True)
        if tool != "buildah":
            out = subprocess.run([tool, "run", "--rm", tag, "--version"], check=True,
                                 capture_output=True, text=True).stdout
            assert out.startswith("kvn "), out
        subprocess.run([tool, "rmi", tag], capture_output=True)
    return None


def main():
    with open(FILE, encoding="utf-8") as f:
        check(instructions(f.read()))
    # The parser itself refuses what a build would refuse.
    for bad in ("FROM debian:12\nRUN echo \\\n", "FROM debian:12\nINSTALL kvn\n", "FROM\n"):
        probe = subprocess.run([sys.executable, "-c",
                                f"import sys; sys.path.insert(0, {os.path.dirname(__file__)!r});"
                                f"import containerfile_test as t; t.instructions({bad!r})"],
                               capture_output=True, text=True)
        assert probe.returncode != 0, bad
    print("Containerfile: instructions parse and install the kvn package")
    if sys.argv[1:] != ["--build"]:
        return
    reason = build()
    if reason:
        print(f"SKIPPED building the image: {reason}")
        sys.exit(77)
    print("Containerfile: the image builds and runs kvn")


if __name__ == "__main__":
    main()
