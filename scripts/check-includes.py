#!/usr/bin/env python3
"""Fails when a product file includes a header from a folder that the README's dependency
table does not allow for its own folder, so the table stays true as the code changes.

Reads the table under "## Layout and dependencies": each row names a folder (a stage of the
engine by its path, `engine/scan/`), and its last column the folders it may use ("nothing",
"all of the above", "everything" or a list of `folder/` names; `engine/` stands for every
stage). Every "#include "folder/..."" in that folder's .h and .cpp files must name the
folder itself or one the row allows; every product target's include view in CMake (the folders
its sources can see) must list exactly the row's folders too."""
import pathlib
import re
import sys

root = pathlib.Path(__file__).resolve().parent.parent
readme = (root / "README.md").read_text(encoding="utf-8")
section = readme.split("## Layout and dependencies", 1)[1].split("\n## ", 1)[0]

rows = []  # (folder, allowed folders or None for everything)
for line in section.splitlines():
    cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
    if len(cells) < 3 or not cells[0].startswith("`"):
        continue
    folders = re.findall(r"`([a-z0-9_/]+)/`", cells[0])
    uses = cells[-1]
    if "everything" in uses:
        allowed = None
    elif "all of the above" in uses:
        allowed = {folder for earlier, _ in rows for folder in earlier}
    else:
        allowed = set(re.findall(r"`([a-z0-9_/]+)/`", uses))
    rows.append((folders, allowed))

if not rows:
    sys.exit("check-includes: no dependency table found in README.md")

def seen_by(included, folders):
    """True when the folder of an included header is one of `folders` or inside one of them."""
    return any(included == folder or included.startswith(folder + "/") for folder in folders)


include = re.compile(r'^\s*#\s*include\s+"([a-z0-9_/]+)/[^/"]+"')
problems = []
checked = 0
for folders, allowed in rows:
    if allowed is None:
        continue
    for folder in folders:
        for path in sorted((root / folder).rglob("*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            checked += 1
            for number, text in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
                match = include.match(text)
                if match and not seen_by(match.group(1), {folder} | allowed):
                    where = path.relative_to(root)
                    problems.append(f"{where}:{number}: {folder}/ may not include {match.group(1)}/")

# The build enforces the same table: each product target compiles against an include view
# (cmake/include_views.cmake) that must name exactly its folder's row.
view_call = re.compile(r"zipsalvage_include_view\(\s*(\S+)\s+([a-z0-9_/]+)((?:\s+[a-z0-9_/]+)*)\s*\)")
made_target = re.compile(r"add_(?:library|executable)\(\s*(\S+)\s+(?:STATIC|WIN32)?")
views = 0
for folders, allowed in rows:
    if allowed is None:
        continue
    for folder in folders:
        for lists in sorted((root / folder).rglob("CMakeLists.txt")):
            text = lists.read_text(encoding="utf-8")
            where = lists.relative_to(root)
            viewed = set()
            for match in view_call.finditer(text):
                views += 1
                target, seen = match.group(1), set(match.group(3).split())
                viewed.add(target)
                if match.group(2) != folder:
                    problems.append(f"{where}: {target}'s view is of {match.group(2)}/, not {folder}/")
                if seen != allowed - {folder}:
                    wanted = " ".join(sorted(allowed - {folder})) or "nothing"
                    problems.append(f"{where}: {target}'s view ({' '.join(sorted(seen)) or 'nothing'}) "
                                    f"is not its row's ({wanted})")
            for match in made_target.finditer(text):
                line = text[match.start():text.find(")", match.start())]
                if "INTERFACE" in line or "OBJECT" in line:
                    continue
                if match.group(1) not in viewed:
                    problems.append(f"{where}: {match.group(1)} has no include view")

for problem in problems:
    print(problem)
print(f"check-includes: {checked} files and {views} include views, {len(problems)} disagreements "
      "with the README's table")
sys.exit(1 if problems else 0)
