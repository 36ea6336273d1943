"""Checks one of the project's man pages.

  checkManPage.py lint PAGE --pages PAGE...
      mandoc finds nothing to say about PAGE at any level down to style; the
      only message let through is a reference to another package's manual
      that this machine does not have. The project's pages (PAGE...) are put
      on a private manual path, so a reference to any tarvex page must
      resolve.

  checkManPage.py content PAGE --sections NAME... [--exit-statuses N...]
                  [--program PROGRAM [--program-argument=ARGUMENT]]
      The page renders without complaint and has the sections; each exit
      status is a tag of EXIT STATUS; every option in the first paragraph of
      the usage text that PROGRAM prints (run with ARGUMENT, or with none),
      and ARGUMENT itself, appears in OPTIONS.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

MANDOC = shutil.which("mandoc")
# makewhatis lives in sbin, which an ordinary user's PATH may lack.
MAKEWHATIS = shutil.which("makewhatis", path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")
MISSING_REFERENCE = re.compile(r"STYLE: referenced manual not found: Xr (\S+) (\S+)$")


def fail(message):
    print(f"FAIL: {message}")
    sys.exit(1)


def private_manpath(pages, folder):
    """Our pages in a manual tree of their own, indexed for mandoc's Xr lookup."""
    for page in pages:
        section = page.rsplit(".", 1)[1]
        os.makedirs(os.path.join(folder, f"man{section}"), exist_ok=True)
        shutil.copy(page, os.path.join(folder, f"man{section}"))
    run = subprocess.run([MAKEWHATIS, folder], capture_output=True, text=True)
    if run.returncode != 0:
        fail(f"makewhatis {folder}: {run.stdout}{run.stderr}")


def lint(page, pages):
    with tempfile.TemporaryDirectory() as folder:
        private_manpath(pages, folder)
        run = subprocess.run([MANDOC, "-T", "lint", "-W", "style", page],
                             capture_output=True, text=True,
                             env=dict(os.environ, MANPATH=folder))
    complaints = []
    for line in (run.stdout + run.stderr).splitlines():
        missing = MISSING_REFERENCE.search(line)
        if missing and not missing.group(1).lower().startswith("tarvex"):
            continue  # another package's page, not installed here
        complaints.append(line)
    if complaints:
        fail("mandoc -T lint:\n" + "\n".join(complaints))
    if run.returncode not in (0, 1):  # 1: style messages only
        fail(f"mandoc -T lint exited with {run.returncode}")


def render(page):
    run = subprocess.run([MANDOC, "-T", "utf8", "-W", "warning", page],
                         capture_output=True, text=True)
    if run.returncode != 0 or run.stderr or not run.stdout:
        fail(f"mandoc -T utf8 exited with {run.returncode}: {run.stderr}")
    return re.sub(".\b", "", run.stdout)  # drop bold and underline


def sections(text):
    """Section title -> its body, from the rendered page."""
    found = {}
    title = None
    for line in text.splitlines():
        if re.fullmatch(r"[A-Z][A-Z ]*[A-Z]", line):
            title = line
            found[title] = ""
        elif title is not None:
            found[title] += line + "\n"
    return found


def usage_options(program, argument):
    """Options named in the first paragraph of the program's usage text."""
    command = [program] + ([argument] if argument else [])
    run = subprocess.run(command, capture_output=True, text=True, timeout=30)
    paragraph = run.stdout.strip().split("\n\n")[0]
    options = set(re.findall(r"(?:^|(?<=[\s(\[]))(--?[A-Za-z][\w-]*)", paragraph, re.M))
    if argument and argument.startswith("-"):
        options.add(argument)
    if not options:
        fail(f"no options in the usage text of {' '.join(command)}:\n{run.stdout}")
    return sorted(options)


def has_token(text, token):
    return re.search(r"(?<![\w-])" + re.escape(token) + r"(?![\w-])", text) is not None


def content(page, wanted, statuses, usage):
    found = sections(render(page))
    missing = [name for name in wanted if name not in found]
    if missing:
        fail(f"sections missing: {missing}; the page has {list(found)}")
    if statuses:
        tags = found.get("EXIT STATUS", "")
        absent = [s for s in statuses if not re.search(rf"^ +{s}(?: |$)", tags, re.M)]
        if absent:
            fail(f"exit statuses not listed in EXIT STATUS: {absent}")
    if usage:
        program, argument = usage
        options = usage_options(program, argument)
        absent = [o for o in options if not has_token(found.get("OPTIONS", ""), o)]
        if absent:
            fail(f"options of {os.path.basename(program)} not in OPTIONS: {absent}")


def main():
    if MANDOC is None or MAKEWHATIS is None:
        fail("mandoc is not installed (apt-get install mandoc)")
    parser = argparse.ArgumentParser()
    parser.add_argument("check", choices=["lint", "content"])
    parser.add_argument("page")
    parser.add_argument("--pages", nargs="+", default=[])
    parser.add_argument("--sections", nargs="+", default=[])
    parser.add_argument("--exit-statuses", nargs="+", default=[])
    parser.add_argument("--program")
    parser.add_argument("--program-argument")
    args = parser.parse_args()
    if args.check == "lint":
        lint(args.page, args.pages or [args.page])
    else:
        usage = (args.program, args.program_argument) if args.program else None
        content(args.page, args.sections, args.exit_statuses, usage)
    print(f"ok: {args.check} {os.path.basename(args.page)}")


if __name__ == "__main__":
    main()
