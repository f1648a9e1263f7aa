# The house's order, checked (run through tests/check_layers.sh).
#
# Every top-level folder holding C or C++ sources is found, not listed:
# one the order below does not place is an error until it is placed.
# Each include is resolved as the compiler would, with the include
# directories the folder's CMake targets give it (its own folder for a
# quoted include, then each linked library's folder), so that an include
# in angle brackets, a "../" path or a second folder's header of the same
# name cannot slip past.  Each target's link line is held to the same
# order as its includes.  Modules including each other round a circle are
# refused too.  A module is a folder's NAME.h with its NAME.cpp; a
# program's entry (the file defining main) is no module but a root, so
# what it includes makes no circle.
#
# Usage: check_layers.py [SOURCE_DIR]
#        check_layers.py --self-test [SOURCE_DIR]
import os
import re
import shutil
import sys
import tempfile

# What each layer may include and link, besides itself; lowest first.
# The daemon's modules and the client library stand side by side and
# never reach each other; every face stands on the client library and
# never on another face.
MAY = {
    "contract": set(),
    "model": {"contract"},
    "platform": {"contract"},
    "daemon": {"contract", "model", "platform"},
    "client": {"contract", "model", "platform"},
}
FACES = ("web", "panel", "mqtt", "ctl", "fleet")
for _face in FACES:
    MAY[_face] = {"contract", "model", "platform", "client"}
PLACED = {"contract", "model", "src", "client"} | set(FACES)
# Tests, benchmarks and fuzz targets stand above everything and may
# include anything; nothing may include them.
FREE = {"tests", "bench", "fuzz"}

# The daemon's modules include one another as they were laid out, and
# only so: a module reaching a new one is a change to the daemon's
# design and is made here, on purpose.
DAEMON_INCLUDES = {
    "kelvo": {"thermodyn", "xml2pps"},
    "dbXML": {"kelvo"},
    "thermodyn": {"dbXML", "kelvo"},
    "xml2pps": {"dbXML", "kelvo", "thermodyn"},
}

SOURCE_EXT = (".h", ".hh", ".hpp", ".c", ".cc", ".cpp")
INCLUDE = re.compile(r'^\s*#\s*include\s*(?:([<"])([^>"\n]+)[>"]|'
                     r'([A-Za-z_]\w*))', re.M)


def layer(path):
    """The layer of a file given by its path from the tree's top."""
    folder, _, rest = path.partition("/")
    if folder == "src":
        return "platform" if rest.startswith("platform.") else "daemon"
    return folder


def is_build_tree(path):
    return os.path.exists(os.path.join(path, "CMakeCache.txt"))


def source_files(root):
    """Every C or C++ file below a top-level folder: path -> text."""
    files = {}
    for top in sorted(os.listdir(root)):
        full = os.path.join(root, top)
        if top.startswith(".") or not os.path.isdir(full) or \
                is_build_tree(full):
            continue
        for d, subs, names in os.walk(full):
            subs[:] = sorted(s for s in subs if not s.startswith(".") and
                             s != "node_modules" and
                             not is_build_tree(os.path.join(d, s)))
            for n in sorted(names):
                if n.endswith(SOURCE_EXT):
                    p = os.path.relpath(os.path.join(d, n), root)
                    with open(os.path.join(d, n), errors="replace") as fh:
                        files[p] = fh.read(1 << 20)
    return files


def cmake_commands(text):
    """(command, arguments) of a CMakeLists.txt, comments dropped."""
    text = re.sub(r'#[^\n]*', '', text)
    for m in re.finditer(r'\b(\w+)\s*\(([^()]*)\)', text):
        yield m.group(1).lower(), m.group(2).replace('"', '').split()


def cmake_dir(folder, arg):
    """A source directory named in a CMakeLists.txt, from the top."""
    arg = arg.replace("${CMAKE_CURRENT_SOURCE_DIR}", folder)
    arg = arg.replace("${CMAKE_CURRENT_LIST_DIR}", folder)
    for v in ("${PROJECT_SOURCE_DIR}", "${CMAKE_SOURCE_DIR}"):
        if arg.startswith(v):
            arg = "." + arg[len(v):]
    if "$" in arg or os.path.isabs(arg):
        return None             # a build directory or outside the tree
    if not arg.startswith((folder + "/", "./")) and arg != folder:
        arg = os.path.join(folder, arg)
    return os.path.normpath(arg)


KEYWORDS = {"PUBLIC", "PRIVATE", "INTERFACE"}
TARGET_FLAGS = {"STATIC", "SHARED", "OBJECT", "MODULE", "INTERFACE",
                "EXCLUDE_FROM_ALL", "WIN32", "MACOSX_BUNDLE"}


def read_targets(root, folders):
    """name -> target: its folder, sources, include dirs and links, each
    dir and link with whether it passes on to what links the target."""
    targets = {}
    for folder in folders:
        path = os.path.join(root, folder, "CMakeLists.txt")
        if not os.path.exists(path):
            continue
        with open(path, errors="replace") as fh:
            text = fh.read()
        for cmd, args in cmake_commands(text):
            if cmd in ("add_library", "add_executable") and args:
                if "ALIAS" in args or "IMPORTED" in args:
                    continue
                srcs = [os.path.normpath(os.path.join(folder, a))
                        for a in args[1:] if a not in TARGET_FLAGS and
                        "$" not in a]
                targets[args[0]] = {"folder": folder, "srcs": srcs,
                                    "dirs": [], "links": []}
            elif cmd in ("target_include_directories",
                         "target_link_libraries") and args:
                t = targets.get(args[0])
                if t is None:
                    continue
                scope = "PUBLIC"
                for a in args[1:]:
                    if a in KEYWORDS:
                        scope = a
                    elif cmd == "target_link_libraries":
                        t["links"].append((a, scope))
                    elif a not in ("SYSTEM", "BEFORE", "AFTER"):
                        d = cmake_dir(folder, a)
                        if d:
                            t["dirs"].append((d, scope))
    return targets


def target_layer(name, t):
    if t["srcs"]:
        return layer(t["srcs"][0])
    return layer(t["folder"] + "/")


def compile_dirs(targets):
    """name -> the include directories its sources are compiled with, in
    the compiler's order: the target's own, then its links' usage."""
    usage_memo = {}

    def usage(name, seen):
        if name in usage_memo:
            return usage_memo[name]
        t = targets.get(name)
        if t is None or name in seen:
            return []
        seen = seen | {name}
        out = [d for d, s in t["dirs"] if s != "PRIVATE"]
        for link, s in t["links"]:
            if s != "PRIVATE":
                out += usage(link, seen)
        usage_memo[name] = out
        return out

    dirs = {}
    for name, t in targets.items():
        out = [d for d, s in t["dirs"] if s != "INTERFACE"]
        for link, _ in t["links"]:
            out += usage(link, {name})
        dirs[name] = list(dict.fromkeys(out))
    return dirs


def file_dirs(path, targets, dirs):
    """The include directories a file is compiled with: its targets', or
    for a header, those of every target of its folder and layer."""
    mine = [n for n, t in targets.items() if path in t["srcs"]]
    if not mine:
        folder = path.partition("/")[0]
        mine = [n for n, t in targets.items() if t["folder"] == folder and
                target_layer(n, t) == layer(path)]
    out = []
    for n in sorted(mine):
        out += dirs[n]
    return list(dict.fromkeys(out))


def inside(path, d):
    return path == d or path.startswith(d.rstrip("/") + "/") or d == "."


def resolve(path, quote, name, search, files):
    """(header, problem) for one include: the project header the compiler
    finds, or the one the include names by a path the include directories
    do not give; None for a header outside the project."""
    hits, escapes = [], []
    own = [os.path.dirname(path)] if quote == '"' else []
    for d in own + search:
        p = os.path.normpath(os.path.join(d, name))
        if p in files:
            (hits if inside(p, d) else escapes).append(p)
    hits = list(dict.fromkeys(hits))
    spelt = quote + name + ('"' if quote == '"' else ">")
    if len(hits) > 1:
        return hits[0], "%s includes %s: ambiguous, %s share the name" % (
            path, spelt, " and ".join(hits))
    if hits:
        return hits[0], None
    bare = os.path.normpath(name).lstrip("./")
    named = escapes or [p for p in files if p == bare or
                        p.endswith("/" + bare)]
    if named:
        return named[0], "%s includes %s: names %s by a path its " \
            "include directories do not give" % (path, spelt, named[0])
    return None, None


def may_include(path, header):
    """None when path may include header, else why not."""
    me, them = layer(path), layer(header)
    if me == them:
        if me != "daemon":
            return None
        a = os.path.splitext(os.path.basename(path))[0]
        b = os.path.splitext(os.path.basename(header))[0]
        if a == b or b in DAEMON_INCLUDES.get(a, ()):
            return None
        return "the daemon's module %s does not include %s" % (a, b)
    if them in MAY.get(me, ()):
        return None
    if me in FACES and them in FACES:
        return "a face never includes another face"
    return "%s is not below %s" % (them, me)


def check_includes(files, targets, dirs, placed):
    bad, deps = [], {}
    for path, text in sorted(files.items()):
        if path.partition("/")[0] not in placed:
            continue
        search = file_dirs(path, targets, dirs)
        entry = re.search(r'^(int\s+)?main\s*\(', text, re.M)
        mod = os.path.splitext(path)[0]
        for m in INCLUDE.finditer(text):
            if m.group(3):
                bad.append("%s includes %s: a computed include cannot be "
                           "checked" % (path, m.group(3)))
                continue
            header, problem = resolve(path, m.group(1), m.group(2),
                                      search, files)
            if problem:
                bad.append(problem)
            if header is None:
                continue
            why = may_include(path, header)
            if why:
                bad.append("%s includes %s: %s" % (path, header, why))
            dep = os.path.splitext(header)[0]
            if dep != mod and not entry:
                deps.setdefault(mod, set()).add(dep)
    return bad, deps


def check_links(targets, placed):
    bad = []
    for name, t in sorted(targets.items()):
        if t["folder"] not in placed:
            continue
        me = target_layer(name, t)
        for link, _ in t["links"]:
            u = targets.get(link)
            if u is None:
                continue        # a library from outside the project
            them = target_layer(link, u)
            if them == me or them in MAY.get(me, ()):
                continue
            why = ("a face never links another face"
                   if me in FACES and them in FACES
                   else "%s is not below %s" % (them, me))
            bad.append("%s/CMakeLists.txt: %s links %s: %s" %
                       (t["folder"], name, link, why))
    return bad


def circles(deps):
    """Include circles among modules, by a depth-first walk finding a
    module on its own path."""
    bad, state, path = [], {}, []

    def walk(m):
        state[m] = 1
        path.append(m)
        for d in sorted(deps.get(m, ())):
            if state.get(d) == 1:
                ring = path[path.index(d):] + [d]
                bad.append("include circle: " + " -> ".join(ring))
            elif d not in state:
                walk(d)
        path.pop()
        state[m] = 2
    for m in sorted(deps):
        if m not in state:
            walk(m)
    return bad


def check(root):
    """Every way the tree at root breaks the order, as lines."""
    files = source_files(root)
    folders = sorted({p.partition("/")[0] for p in files if "/" in p})
    bad = ["folder %s is not placed in the order" % f for f in folders
           if f not in PLACED and f not in FREE]
    placed = [f for f in folders if f in PLACED]
    targets = read_targets(root, placed)
    dirs = compile_dirs(targets)
    inc, deps = check_includes(files, targets, dirs, set(placed))
    return bad + inc + check_links(targets, set(placed)) + circles(deps)


# The self-test: each fault planted in a copy of the tree must be
# refused, and the copy without faults must pass.  A tree without the
# model/ folder gets a small one, placed and linked as the real one is.
def edit(root, path, old, new):
    p = os.path.join(root, path)
    with open(p) as fh:
        text = fh.read()
    if old not in text:
        raise SystemExit("self-test: %s no longer holds %r" % (path, old))
    with open(p, "w") as fh:
        fh.write(text.replace(old, new, 1))


def write(root, path, text):
    os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
    with open(os.path.join(root, path), "w") as fh:
        fh.write(text)


def append(root, path, text):
    with open(os.path.join(root, path), "a") as fh:
        fh.write(text)


def with_model(root):
    """A throwaway model/ where the tree has none yet."""
    if os.path.isdir(os.path.join(root, "model")):
        return
    write(root, "model/model.h", '#include "contract.h"\n')
    write(root, "model/model.cpp", '#include "model.h"\n')
    write(root, "model/CMakeLists.txt",
          "add_library(kelvomodel STATIC model.cpp)\n"
          "target_include_directories(kelvomodel PUBLIC "
          "${CMAKE_CURRENT_SOURCE_DIR})\n"
          "target_link_libraries(kelvomodel PUBLIC kelvocontract)\n")
    append(root, "src/CMakeLists.txt",
           "target_link_libraries(kelvocore PUBLIC kelvomodel)\n")
    append(root, "src/thermodyn.cpp", '#include "model.h"\n')


# name, planting, what the refusal must say
FAULTS = [
    ("angle-bracket upward include",
     lambda r: append(r, "client/client.cpp", "#include <route.h>\n"),
     "client/client.cpp includes <route.h>: names web/route.h"),
    ("angle-bracket path to another folder",
     lambda r: append(r, "src/xml2pps.cpp", "#include <web/route.h>\n"),
     "src/xml2pps.cpp includes <web/route.h>"),
    ("relative upward include",
     lambda r: append(r, "ctl/play.cpp", '#include "../web/route.h"\n'),
     'ctl/play.cpp includes "../web/route.h": names web/route.h'),
    ("face including a face it links",
     lambda r: (append(r, "mqtt/sim.cpp", '#include "route.h"\n'),
                append(r, "mqtt/CMakeLists.txt",
                       "target_link_libraries(mqttcore PUBLIC webroute)\n")),
     "mqtt/sim.cpp includes web/route.h: a face never includes"),
    ("header name two folders share",
     lambda r: write(r, "ctl/link.h", "\n"),
     "ambiguous, ctl/link.h and client/link.h share the name"),
    ("unplaced new folder",
     lambda r: write(r, "gadget/gadget.cpp", '#include "contract.h"\n'),
     "folder gadget is not placed in the order"),
    ("upward link line",
     lambda r: append(r, "client/CMakeLists.txt",
                      "target_link_libraries(kelvoclient PUBLIC kelvocore)\n"),
     "client/CMakeLists.txt: kelvoclient links kelvocore: daemon is not "
     "below client"),
    ("face linking a face",
     lambda r: append(r, "ctl/CMakeLists.txt",
                      "target_link_libraries(kelvo-ctl PRIVATE mqttcore)\n"),
     "kelvo-ctl links mqttcore: a face never links another face"),
    ("circle",
     lambda r: (append(r, "client/json.h", '#include "press.h"\n'),
                append(r, "client/press.h", '#include "json.h"\n')),
     "include circle: client/json -> client/press -> client/json"),
    ("model including the platform",
     lambda r: (append(r, "model/model.h", '#include "platform.h"\n'),
                append(r, "model/CMakeLists.txt",
                       "target_link_libraries(kelvomodel PUBLIC "
                       "kelvoplatform)\n")),
     "model/model.h includes src/platform.h: platform is not below model"),
    ("daemon module include not laid out",
     lambda r: append(r, "src/kelvo.h", '#include "dbXML.h"\n'),
     "the daemon's module kelvo does not include dbXML"),
    ("computed include",
     lambda r: append(r, "web/cors.cpp", "#include ROUTE_H\n"),
     "web/cors.cpp includes ROUTE_H: a computed include"),
]


def copy_tree(src, dst):
    def skip(d, names):
        return [n for n in names if n.startswith(".") or
                n == "node_modules" or is_build_tree(os.path.join(d, n)) or
                (os.path.isfile(os.path.join(d, n)) and
                 not n.endswith(SOURCE_EXT) and n != "CMakeLists.txt")]
    shutil.copytree(src, dst, ignore=skip)


def self_test(root):
    failed = 0
    with tempfile.TemporaryDirectory(prefix="check_layers.") as tmp:
        base = os.path.join(tmp, "clean")
        copy_tree(root, base)
        with_model(base)
        bad = check(base)
        for b in bad:
            print("self-test: the clean tree is refused: " + b)
        failed += bool(bad)
        for i, (name, plant, says) in enumerate(FAULTS):
            tree = os.path.join(tmp, "fault%d" % i)
            shutil.copytree(base, tree)
            plant(tree)
            bad = check(tree)
            if not any(says in b for b in bad):
                failed += 1
                print("self-test: %s passed; wanted %r among %r" %
                      (name, says, bad))
            else:
                print("self-test: %s refused" % name)
    return 1 if failed else 0


def main(argv):
    test = argv[:1] == ["--self-test"]
    if test:
        argv = argv[1:]
    root = argv[0] if argv else os.path.join(os.path.dirname(__file__), "..")
    if not os.path.isdir(root):
        print("check_layers: %s is no directory" % root, file=sys.stderr)
        return 2
    if test:
        return self_test(root)
    bad = check(root)
    for b in bad:
        print("check_layers: " + b, file=sys.stderr)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
