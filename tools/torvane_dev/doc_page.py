"""Writes a generated page of docs/.

A generated page is written whole by one command, from that command's results:
what a reader sees in the file is exactly what the command wrote, and nothing
else. The page opens with a comment naming the command, for whoever opens the
file to edit it.
"""

import os

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DOCS = os.path.join(REPO, "docs")


def write_page(name: str, text: str, command: str, docs: str = DOCS) -> str:
    """Writes TEXT to DOCS/NAME.md in place of what was there; returns the path."""
    os.makedirs(docs, exist_ok=True)
    path = os.path.join(docs, f"{name}.md")
    page = f"<!-- Written by {command} from its last results; an edit here is lost on its next run. -->\n\n"
    page += text.strip() + "\n"
    temporary = path + ".new"
    with open(temporary, "w", encoding="utf-8") as f:
        f.write(page)
    os.replace(temporary, path)
    return path
