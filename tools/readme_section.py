"""Replaces a generated section of the README with new text.

A generated section is the text between the lines `<!-- NAME: begin -->` and
`<!-- NAME: end -->`; everything else in the README stays as it is. A README
without the markers gets the section appended at its end, markers included.

Command line: python3 tools/readme_section.py NAME FILE [--readme PATH]
"""

import argparse
import os
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_README = os.path.join(REPO, "README.md")


def replace_section(name: str, text: str, readme: str = DEFAULT_README) -> None:
    begin, end = f"<!-- {name}: begin -->", f"<!-- {name}: end -->"
    with open(readme, encoding="utf-8") as f:
        content = f.read()
    body = f"{begin}\n{text.strip()}\n{end}"
    first, last = content.find(begin), content.find(end)
    if first < 0 and last < 0:
        content = content.rstrip("\n") + "\n\n" + body + "\n"
    elif 0 <= first < last and content.count(begin) == 1 and content.count(end) == 1:
        content = content[:first] + body + content[last + len(end):]
    else:
        raise ValueError(f"{readme}: the markers of section '{name}' are missing, repeated or out of order")
    temporary = readme + ".new"
    with open(temporary, "w", encoding="utf-8") as f:
        f.write(content)
    os.replace(temporary, readme)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("name")
    parser.add_argument("file")
    parser.add_argument("--readme", default=DEFAULT_README)
    args = parser.parse_args()
    with open(args.file, encoding="utf-8") as f:
        text = f.read()
    try:
        replace_section(args.name, text, args.readme)
    except ValueError as error:
        print(f"readme_section: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
