# Shared set-up for the scripts: Debian packages, one virtual environment per interpreter,
# and the module built and installed into it. Every step is skipped when already done, so a
# second run reuses what the first installed.
#
# For the stages (scripts/stages/*.sh) it also keeps the log short and every failure named:
# - each stage ends with one line, "==> stage NAME: passed" or "==> stage NAME: FAILED
#   (reason)", whatever ends it; the reason is the one given to `fail`, or else the step that
#   the last `log` announced ("pytest under PyPy failed"); a stage that passed with something
#   to say (a retry) puts it in STAGE_NOTE: "passed (note)";
# - `at_stage_exit FUNCTION` runs FUNCTION however the stage ends, before that line (for
#   reports that must be shown even when a command aborted the stage);
# - `ctest` shows only the tests that fail, with their output, and the summary;
# - `pip_in PYTHON ARGS...` is the one way the scripts call pip: with the versions of
#   constraints.txt and without the warnings of this machine's pip configuration.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
APT_PACKAGES=(pypy3 pypy3-dev pypy3-venv g++-multilib libgtest-dev cmake ninja-build binutils file)
CONSTRAINTS="$ROOT/scripts/constraints.txt"
# The companion's tests that stop child processes at random moments run their full rounds under
# CPython 3.11 and PyPy 3.9 (stage 50) and this many under each further interpreter, each
# interpreter drawing moments of its own: the whole run tries more moments than one full set,
# in less time than a full set under every interpreter.
STRESS_ROUNDS_BEYOND="${TAVRIN_STRESS_ROUNDS:-3}"
# dependency_group NAME...: the requirements of the dependency groups NAME... of pyproject.toml
# (with those of the groups they include), one a line.
dependency_group() {
    python3 - "$ROOT/pyproject.toml" "$@" <<'EOF'
import sys, tomllib
with open(sys.argv[1], "rb") as file:
    groups = tomllib.load(file)["dependency-groups"]
def requirements(name, seen=()):
    if name in seen:
        sys.exit(f"dependency group {name} includes itself")
    for entry in groups[name]:
        if isinstance(entry, str):
            yield entry.replace(" ", "")
        else:
            yield from requirements(entry["include-group"], (*seen, name))
print(*dict.fromkeys(requirement for name in sys.argv[2:] for requirement in requirements(name)), sep="\n")
EOF
}
# Every venv's tools: the module's build requirements and the test tools.
mapfile -t PIP_TOOLS < <(dependency_group build test)
((${#PIP_TOOLS[@]})) || { echo "==> no dependency groups build and test in pyproject.toml" >&2; exit 1; }
constraints_hash() { sha256sum <"$CONSTRAINTS" | cut -c1-16; }

STAGE_STEP=""
STAGE_FAILURE=""
STAGE_NOTE=""
STAGE_EXIT_HOOKS=()

# log MESSAGE: prints MESSAGE as a heading; in a stage it also names the step under way.
log() {
    STAGE_STEP="$*"
    printf '\n==> %s\n' "$*"
}

# fail REASON: ends the stage, reporting REASON.
fail() {
    STAGE_FAILURE="$*"
    exit 1
}

at_stage_exit() { STAGE_EXIT_HOOKS+=("$1"); }

# The EXIT trap of a stage. Under test.sh the outcome goes to the file $TAVRIN_STAGE_OUTCOME,
# from which test.sh prints the stage's last line; run on its own, the stage prints it.
report_stage() {
    local status=$? name hook
    name="$(basename "$0" .sh)"
    set +e
    for hook in "${STAGE_EXIT_HOOKS[@]}"; do
        "$hook" "$status" || ((status)) || status=1
    done
    local outcome="passed${STAGE_NOTE:+ ($STAGE_NOTE)}"
    if ((status)); then
        local reason="${STAGE_FAILURE:-${STAGE_STEP:+$STAGE_STEP failed}}"
        outcome="FAILED (${reason:-exit status $status})"
    fi
    if [ -n "${TAVRIN_STAGE_OUTCOME:-}" ]; then
        printf '%s\n' "$outcome" >"$TAVRIN_STAGE_OUTCOME"
    else
        printf '\n==> stage %s: %s\n' "$name" "$outcome"
    fi
    exit "$status"
}
[ "$(basename "$(dirname "$0")")" != stages ] || trap report_stage EXIT

# The lines that this machine's pip configuration adds to every pip command (index locations
# it does not have); they say nothing about the packages.
PIP_NOISE="^WARNING: Location '.*' is ignored: |^WARNING: Running pip as the 'root' user|^Looking in (indexes|links): |^\[notice\] "

without_pip_noise() { sed -uE "/$PIP_NOISE/d"; }

# pip_in PYTHON COMMAND ARGS...: `PYTHON -m pip COMMAND ARGS...`, with -c constraints.txt for
# the commands that install, and standard error merged into standard output without pip's
# environment warnings.
pip_in() {
    local python="$1" command="$2"
    shift 2
    case "$command" in install | wheel | download) set -- -c "$CONSTRAINTS" "$@" ;; esac
    "$python" -m pip "$command" "$@" 2>&1 | without_pip_noise
}

# ctest ARGS...: the real ctest without its line for each test that starts and passes; the
# failures, their output (with --output-on-failure) and the summary remain. A failure names
# the count in the stage's report.
ctest() {
    local output status=0
    output="$(mktemp)"
    command ctest "$@" 2>&1 | tee "$output" |
        sed -uE '/^ *Start +[0-9]+: /d; /^ *[0-9]+\/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$/d; /^Test project /d' ||
        status=$?
    if ((status)); then
        local counts
        counts="$(sed -nE 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1 of \2 tests failed/p' "$output" | tail -n 1)"
        STAGE_FAILURE="${STAGE_STEP:-ctest}: ${counts:-ctest exited with status $status}"
    fi
    rm -f "$output"
    return "$status"
}

# write_private_apt_conf DIR ARCHITECTURE... [-- LINE...]: an apt configuration in DIR/apt.conf
# whose state, lists, cache and sources are all in DIR (sources.list and sources.list.d/), for
# fetching Debian packages and sources without touching the system's apt; the first
# architecture is the native one; LINEs are added as they are.
write_private_apt_conf() {
    local dir="$1" arches=() extra=()
    shift
    while (($#)) && [ "$1" != "--" ]; do arches+=("\"$1\";"); shift; done
    (($#)) && shift && extra=("$@")
    {
        printf 'APT::Architecture %s\n' "${arches[0]}"
        printf 'APT::Architectures { %s };\n' "${arches[*]}"
        ((${#extra[@]} == 0)) || printf '%s\n' "${extra[@]}"
        printf 'APT::Sandbox::User "root";\n'
        printf 'Dir::State "%s";\nDir::State::Lists "%s/lists";\nDir::State::status "%s/status";\n' "$dir" "$dir" "$dir"
        printf 'Dir::Cache "%s/cache";\nDir::Cache::archives "%s/archives";\n' "$dir" "$dir"
        printf 'Dir::Etc::sourcelist "%s/sources.list";\nDir::Etc::sourceparts "%s/sources.list.d";\n' "$dir" "$dir"
    } >"$dir/apt.conf"
}

# with_lock NAME COMMAND...: runs COMMAND holding the lock NAME (a file in build/locks), so that
# stages running side by side never install into or build in the same place at once. A failure
# of COMMAND ends the stage as usual; the lock goes with the process.
with_lock() {
    local name="$1" fd
    shift
    mkdir -p "$ROOT/build/locks"
    exec {fd}>"$ROOT/build/locks/$name.lock"
    flock "$fd"
    "$@"
    exec {fd}>&-
}

# ensure_apt_packages [PACKAGE...]: installs the packages (default: APT_PACKAGES) not yet there.
ensure_apt_packages() { with_lock apt _ensure_apt_packages "$@"; }
_ensure_apt_packages() {
    local missing=() wanted=("$@")
    ((${#wanted[@]})) || wanted=("${APT_PACKAGES[@]}")
    for package in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
    done
    if ((${#missing[@]})); then
        log "installing Debian packages: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        # Another apt (a second clone's test command, the system's own updates) may hold dpkg's
        # lock for a while: wait for it rather than fail.
        $sudo apt-get -o DPkg::Lock::Timeout=900 update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=900 install -y -qq "${missing[@]}" >/dev/null
    fi
}

# make_venv INTERPRETER DIR [OPTION...]: a new venv in DIR (whatever was there is deleted),
# marked whole by a file written last, once `venv` and its pip are done.
make_venv() {
    rm -rf "$2"
    "$1" -m venv "${@:3}" "$2"
    : >"$2/.venv-whole"
}

# venv_whole DIR: whether DIR is a venv that make_venv finished (a venv made before the marker
# counts if it got its tools) and whose python still runs. One cut short (Ctrl-C during
# `venv`: a python without pip) or whose interpreter went is made again by the caller.
venv_whole() {
    { [ -e "$1/.venv-whole" ] || [ -e "$1/.tools-installed" ]; } &&
        "$1/bin/python" -c 'import sys' >/dev/null 2>&1
}

# ensure_venv NAME INTERPRETER [TOOL...]: a venv at $ROOT/.venv-NAME with the tools of
# PIP_TOOLS and any further ones named, at the versions of constraints.txt.
ensure_venv() { with_lock "venv-$1" _ensure_venv "$@"; }
_ensure_venv() {
    local venv="$ROOT/.venv-$1" interpreter="$2"
    local tools=("${PIP_TOOLS[@]}" "${@:3}")
    if ! venv_whole "$venv"; then
        log "creating $venv with $interpreter"
        make_venv "$interpreter" "$venv"
    fi
    # The marker holds the constraints' hash, then the tools installed under them: a tool
    # added or a version changed is installed on the next run, and a venv that has more tools
    # than a script needs (run.sh and test.sh share .venv-cpython) is left as it is.
    local marker="$venv/.tools-installed" pinned installed=() missing=() tool
    pinned="$(constraints_hash)"
    if [ "$(head -n 1 "$marker" 2>/dev/null)" = "$pinned" ]; then
        mapfile -t installed < <(tail -n +2 "$marker")
    fi
    for tool in "${tools[@]}"; do
        [[ " ${installed[*]} " == *" $tool "* ]] || missing+=("$tool")
    done
    ((${#missing[@]})) || return 0
    log "installing ${missing[*]} into $venv"
    if ((${#installed[@]} == 0)); then
        pip_in "$venv/bin/python" install -q --upgrade pip
        printf '%s\n' "$pinned" >"$marker"
    fi
    pip_in "$venv/bin/python" install -q "${missing[@]}"
    printf '%s\n' "${missing[@]}" >>"$marker"
}

# Every module build of the scripts: warnings as errors, and a build folder per wheel tag apart
# from the one a plain `pip install .` uses, so neither makes the other build from scratch.
SCRIPT_BUILD_SETTINGS=(--config-settings=build-dir=build/scripts/{wheel_tag}
    --config-settings=cmake.define.TAVRIN_WERROR=ON)

# build_with_progress LOG COMMAND...: runs a pip command that builds the module, showing of its
# output only the compiler's progress ("[3/17] Building CXX object ..."); the whole output goes
# to LOG, whose end is shown if the command fails.
build_with_progress() {
    local build_log="$1" status=0
    shift
    mkdir -p "$(dirname "$build_log")"
    "$@" -v 2>&1 | tee "$build_log" |
        sed -nuE 's/^ *(\[[0-9]+\/[0-9]+\] .*)/    \1/p' || status=$?
    if ((status)); then
        printf '==> the build failed; the end of its output (all of it in %s):\n' "$build_log"
        tail -n 60 "$build_log"
    fi
    return "$status"
}

# module_inputs_hash PYTHON: a hash of what goes into the installed package (the tracked files'
# contents as they are in the work tree), the interpreter, the compiler, the pinned tools and
# the build settings; empty outside a git checkout.
module_inputs_hash() {
    local sources
    sources="$(cd "$ROOT" && git ls-files -z -- CMakeLists.txt pyproject.toml README.md LICENSE src stubs python 2>/dev/null |
        xargs -0r sha256sum)" || return 0
    [ -n "$sources" ] || return 0
    {
        printf '%s\n' "$sources"
        "$1" -c 'import sys, sysconfig; print(sys.executable, sys.version, sysconfig.get_config_var("EXT_SUFFIX"))'
        g++ --version | head -n 1
        cat "$CONSTRAINTS"
        printf '%s\n' "${SCRIPT_BUILD_SETTINGS[@]}"
    } | sha256sum | cut -c1-16
}

# build_lock PYTHON: the name of the lock of the build folder that PYTHON's builds use. Venvs of
# one interpreter (.venv-cpython and .venv-docs) share build/scripts/<wheel tag>, so a venv's
# own lock does not keep two lanes from building there at once.
build_lock() {
    echo "build-$("$1" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))' | tr -c 'A-Za-z0-9_.\n-' _)"
}

# installed_from VENV KEY [RUNNER...]: whether VENV holds a module built from the inputs of hash
# KEY (kept in the venv when it was built) that imports, its python run by RUNNER if given.
installed_from() {
    [ -n "$2" ] && [ "$(cat "$1/.module-installed" 2>/dev/null)" = "$2" ] &&
        "${@:3}" "$1/bin/python" -c "import tavrin_puzzles, tavrin_estimate._kernel" 2>/dev/null
}

# install_module NAME: builds the module (incrementally, in build/scripts/<wheel tag>) into the
# venv, unless the venv holds one built from the same inputs (its hash is kept in the venv), and
# checks what it imports of the interpreter.
install_module() { with_lock "venv-$1" with_lock "$(build_lock "$ROOT/.venv-$1/bin/python")" _install_module "$@"; }
_install_module() {
    local venv="$ROOT/.venv-$1" key
    key="$(module_inputs_hash "$venv/bin/python")"
    if installed_from "$venv" "$key"; then
        log "tavrin_puzzles in $venv is up to date (hash $key)"
        check_private_symbols "$venv/bin/python"
        return 0
    fi
    rm -f "$venv/.module-installed"
    log "building and installing tavrin_puzzles into $venv"
    (cd "$ROOT" && PATH="$venv/bin:$PATH" build_with_progress "$ROOT/build/scripts/logs/install-$1.txt" \
        pip_in "$venv/bin/python" install --no-build-isolation "${SCRIPT_BUILD_SETTINGS[@]}" .)
    [ -z "$key" ] || printf '%s\n' "$key" >"$venv/.module-installed"
    check_private_symbols "$venv/bin/python"
}

# Prints the interpreter's name; then, after "E ", the files that export its C API: the
# executable and, where the interpreter was linked against it, libpython or libpypy; and after
# "M ", the installed tavrin_puzzles and tavrin_estimate._kernel modules, found without
# importing them.
INTERPRETER_FILES='
import glob, importlib.util, os, re, sys, sysconfig
executable = os.path.realpath(sys.executable)
print(sys.implementation.name, sys.version.split()[0] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""),
      "(" + executable + ")")
with open("/proc/self/maps") as maps:
    mapped = {line.split(None, 5)[5].strip() for line in maps if len(line.split(None, 5)) == 6}
exporting = [executable, *sorted(name for name in mapped if re.match(r"lib(python|pypy)[^/]*\.so", os.path.basename(name)))]
package = importlib.util.find_spec("tavrin_estimate").submodule_search_locations[0]
modules = [importlib.util.find_spec("tavrin_puzzles").origin, *glob.glob(os.path.join(package, "_kernel.*so"))]
print(*("E " + os.path.realpath(name) for name in exporting), sep="\n")
print(*("M " + name for name in modules), sep="\n")
'

# check_private_symbols COMMAND...: fails when a module installed for the interpreter that
# COMMAND runs imports a _Py-prefixed symbol (a private name of the C API) that the
# interpreter does not export: such a module cannot be loaded there, as the private names
# come and go between releases. COMMAND is the interpreter, with what runs it
# (`musl_run x86_64 PYTHON`).
check_private_symbols() {
    local lines=() interpreter exporting=() modules=() line module symbol missing=() exported count=0
    mapfile -t lines < <("$@" -c "$INTERPRETER_FILES")
    interpreter="${lines[0]:-}"
    for line in "${lines[@]:1}"; do
        case "$line" in
            "E "*) exporting+=("${line#E }") ;;
            "M "*) modules+=("${line#M }") ;;
        esac
    done
    if [ -z "$interpreter" ] || ((${#modules[@]} != 2)); then
        fail "no tavrin_puzzles and tavrin_estimate._kernel found installed for $*"
    fi
    exported="$(nm -D --defined-only "${exporting[@]}" | awk 'NF >= 3 { sub(/@.*/, "", $3); print $3 }' | sort -u)"
    for module in "${modules[@]}"; do
        while read -r symbol; do
            count=$((count + 1))
            grep -qxF -- "$symbol" <<<"$exported" || missing+=("$(basename "$module") imports $symbol")
        done < <(nm -D --undefined-only "$module" | awk '{ sub(/@.*/, "", $2); print $2 }' | grep '^_Py' || true)
    done
    if ((${#missing[@]})); then
        printf '    %s\n' "${missing[@]}"
        fail "a private symbol that $interpreter does not export: ${missing[0]}"
    fi
    printf '    the modules import %d _Py-prefixed symbols, all exported by %s\n' "$count" "$interpreter"
}
