#!/usr/bin/env python3
"""The help of brtx-cli, its man page and its bash completion agree (and brtx --help with brtx.1).

    check_help.py BRTX_CLI SOURCE_DIR [CMAKE]

Every command of `brtx-cli help --list` must answer `--help` and `help COMMAND` with one text
holding its synopsis, every option with an explanation and an example; every option named in a
synopsis or in the command sources must be explained; the man page made as the package makes it must hold every command
and option; the completion file must offer every command and, for each, every option.
"""
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile

cli, source = sys.argv[1], sys.argv[2]
cmake = sys.argv[3] if len(sys.argv) > 3 else "cmake"
env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
env.pop("XDG_RUNTIME_DIR", None)  # nothing but the program's own lines, even so
failures = []


def fail(message):
    failures.append(message)


def run(*args):
    p = subprocess.run([cli, *args], capture_output=True, text=True, env=env, timeout=60)
    if p.stderr:
        fail(f"brtx-cli {' '.join(args)}: standard error not empty: {p.stderr!r}")
    if p.returncode != 0:
        fail(f"brtx-cli {' '.join(args)}: exit {p.returncode}")
    return p.stdout


commands = {}
for line in run("help", "--list").splitlines():
    name, _, options = line.partition("\t")
    commands[name] = options.split()
if len(commands) < 10:
    fail(f"help --list names only {sorted(commands)}")

top = run("--help")
for name, options in commands.items():
    if not re.search(rf"^  {re.escape(name)} ", top, re.M):
        fail(f"--help does not list {name}")
    text = run(name, "--help") if name != "help" else run("help", "help")
    if name != "help" and run("help", name) != text:
        fail(f"`{name} --help` and `help {name}` differ")
    usage = text.splitlines()[0] if text else ""
    if not usage.startswith(f"Usage: brtx-cli [--home DIR] {name}"):
        fail(f"{name}: help does not start with its synopsis: {usage!r}")
    if not re.search(r"^Example:\n  brtx-cli ", text, re.M):
        fail(f"{name}: help has no example")
    explained = set(re.findall(r"^  (--[a-z][a-z-]*)\S*(?: \S+)*  +\S", text, re.M))
    for option in options:
        if option not in explained:
            fail(f"{name}: {option} has no line of explanation")
    for option in set(re.findall(r"--[a-z][a-z-]*", usage)) - {"--home"}:
        if option not in options:
            fail(f"{name}: the synopsis names {option}, the options do not")

# An option the parsers know (a "--name" literal in the command sources) and no command's help
# explains.
documented = {o for options in commands.values() for o in options}
documented |= {"--help", "--home", "--list", "--man"}  # the global ones and help's own
cli_sources = os.path.join(source, "app", "cli")
for file in sorted(os.listdir(cli_sources)):
    if file.endswith(".cpp"):
        with open(os.path.join(cli_sources, file), encoding="utf-8") as f:
            for option in sorted(set(re.findall(r'"(--[a-z][a-z-]*)', f.read())) - documented):
                fail(f"app/cli/{file}: {option} is parsed but no command's help explains it")

# The man page, made as the package makes it.
tmp = tempfile.mkdtemp()
try:
    page_gz = os.path.join(tmp, "brtx-cli.1.gz")
    subprocess.run([cmake, f"-DPROGRAM={cli}", "-DNAME=brtx-cli", "-DSUMMARY=test",
                    "-DVERSION=0", f"-DOUT={page_gz}", "-DCOMMANDS=1",
                    f"-DEXTRA={source}/packaging/man/brtx-cli.troff",
                    "-P", f"{source}/cmake/ManPage.cmake"], check=True, env=env)
    with gzip.open(page_gz, "rt", encoding="utf-8") as f:
        page = f.read().replace("\\-", "-")
finally:
    shutil.rmtree(tmp)
sections = re.split(r"^\.SS ", page, flags=re.M)
by_name = {s.split("\n", 1)[0].strip(): s for s in sections[1:]}
for name, options in commands.items():
    section = by_name.get(name)
    if section is None:
        fail(f"man page: no section for {name}")
        continue
    for option in options:
        if not re.search(rf"^\.B {re.escape(option)}\b", section, re.M):
            fail(f"man page: {name} lacks {option}")

# The window's options: brtx --help and its man page written by hand.
brtx = os.path.join(os.path.dirname(cli), "brtx")
if os.path.exists(brtx):
    p = subprocess.run([brtx, "--help"], capture_output=True, text=True, env=env, timeout=60)
    with open(f"{source}/packaging/man/brtx.1", encoding="utf-8") as f:
        window_page = f.read().replace("\\-", "-")
    for option in sorted(set(re.findall(r"--[a-z][a-z-]*", p.stdout))):
        if not re.search(rf"^\.B\w* {re.escape(option)}\b", window_page, re.M):
            fail(f"brtx.1 does not explain {option} of brtx --help")

# The completion, run as bash runs it when TAB is pressed.
completion = f"{source}/packaging/brtx-cli.bash-completion"
script = r"""
_init_completion() { cur=${COMP_WORDS[COMP_CWORD]}; prev=${COMP_WORDS[COMP_CWORD-1]};
    words=("${COMP_WORDS[@]}"); cword=$COMP_CWORD; }
_filedir() { :; }
complete() { :; }
source "$1"
shift
COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
_brtx_cli "$BRTX_CLI" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
printf '%s\n' "${COMPREPLY[@]}"
"""


def complete(*words):
    p = subprocess.run(["bash", "-c", script, "bash", completion, "brtx-cli", *words],
                       capture_output=True, text=True, env=dict(env, BRTX_CLI=cli), timeout=60)
    if p.returncode != 0:
        fail(f"completion of {words}: exit {p.returncode}: {p.stderr}")
    return set(p.stdout.split())


offered = complete("")
for name in commands:
    if name not in offered:
        fail(f"completion does not offer the command {name}")
for name, options in commands.items():
    offered = complete(name, "--")
    for option in options:
        if option not in offered:
            fail(f"completion of `brtx-cli {name} --` lacks {option}")

for f in failures:
    print(f)
print(f"{len(commands)} commands, {sum(map(len, commands.values()))} options: "
      f"{len(failures)} disagreements")
sys.exit(1 if failures else 0)
