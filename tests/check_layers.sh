#!/bin/sh
# The house's order, checked: fails when a folder includes a header of a
# folder above it (or of a face beside it), or when modules include each
# other round a circle.  Lowest first: contract; src/platform; the
# daemon's modules in src/ and, beside them, the client library; the faces
# (panel, web, mqtt, ctl, fleet), each on its own; the model sits on the
# contract alone, under the daemon, and only the fleet among the faces
# uses it.  tests, bench and fuzz may include anything.  A module is a folder's NAME.h with its NAME.cpp; a
# program's entry (the file defining main) is no module but a root, so
# what it includes makes no circle.
# Usage: tests/check_layers.sh [SOURCE_DIR]
cd "${1:-$(dirname "$0")/..}" || exit 2
exec /usr/bin/python3 - <<'PY'
import os, re, sys

folders = ["contract", "model", "src", "client", "panel", "web", "mqtt", "ctl",
           "fleet"]
# What each layer may include, besides its own folder.
below = {
    "contract": set(),
    "platform": {"contract"},
    "src": {"contract", "platform", "model"},
    "client": {"contract", "platform"},
    "model": {"contract"},
}
for face in ("panel", "web", "mqtt", "ctl"):
    below[face] = {"contract", "platform", "client"}
# The fleet runs the model's worlds itself, with no daemon below it.
below["fleet"] = {"contract", "platform", "client", "model"}

def layer(folder, name):
    if folder == "src" and name.startswith("platform."):
        return "platform"
    return folder

files = {}                      # (folder, file name) -> include names
entries = set()                 # files that define main()
for f in folders:
    for name in sorted(os.listdir(f)):
        if name.endswith((".h", ".cpp")):
            with open(os.path.join(f, name), errors="replace") as fh:
                text = fh.read()
            files[(f, name)] = re.findall(r'^\s*#\s*include\s+"([^"]+)"',
                                          text, re.M)
            if re.search(r'^main\(', text, re.M):
                entries.add((f, name))

def resolve(folder, header):
    """The folder a quoted include finds: its own first, as -I would."""
    if (folder, header) in files:
        return folder
    where = [f for f in folders if (f, header) in files]
    return where[0] if len(where) == 1 else None

bad = []
deps = {}                       # module -> modules it includes
for (f, name), incs in files.items():
    me = layer(f, name)
    mod = (f, os.path.splitext(name)[0])
    for h in incs:
        g = resolve(f, h)
        if g is None:
            continue            # generated or a system header
        them = layer(g, h)
        if them != me and them not in below[me]:
            bad.append("%s/%s includes %s/%s: %s is above %s" %
                       (f, name, g, h, them, me))
        dep = (g, os.path.splitext(h)[0])
        if dep != mod and (f, name) not in entries:
            deps.setdefault(mod, set()).add(dep)

# Circles: a depth-first walk finding a module on its own path.
state, path = {}, []
def walk(m):
    state[m] = 1
    path.append(m)
    for d in sorted(deps.get(m, ())):
        if state.get(d) == 1:
            ring = path[path.index(d):] + [d]
            bad.append("include circle: " +
                       " -> ".join("%s/%s" % r for r in ring))
        elif d not in state:
            walk(d)
    path.pop()
    state[m] = 2
for m in sorted(deps):
    if m not in state:
        walk(m)

for b in bad:
    print("check_layers: " + b, file=sys.stderr)
sys.exit(1 if bad else 0)
PY
