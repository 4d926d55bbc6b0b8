#!/usr/bin/env bash
# tools/install-deps as root, as a user with sudo (with and without a password, with and
# without a terminal to ask on) and as a user without either, against stand-ins for id,
# dpkg-query, apt-get and sudo.  Nothing is installed.
set -euo pipefail
script=${1:?usage: install_deps_test.sh PATH/TO/install-deps}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bin=$work/bin
mkdir "$bin"
ln -s "$(command -v env)" "$bin/env"
ln -s "$(command -v bash)" "$bin/bash"
real_grep=$(command -v grep)
real_timeout=$(command -v timeout)

# The stand-ins keep their state in $work: installed (one package a line), calls (what ran).
cat >"$bin/id" <<STUB
#!$(command -v bash)
echo "\${FAKE_UID:-1000}"
STUB
cat >"$bin/dpkg-query" <<STUB
#!$(command -v bash)
for p; do :; done
$real_grep -qx -- "\$p" "$work/installed" && echo -n "install ok installed" && exit 0
exit 1
STUB
cat >"$bin/apt-get" <<STUB
#!$(command -v bash)
echo "\${AS_ROOT_VIA:-root} \${DEBIAN_FRONTEND:-} apt-get \$*" >>"$work/calls"
if [[ \$1 == install ]]; then
  for p in "\${@:2}"; do [[ \$p == -* ]] || echo "\$p" >>"$work/installed"; done
fi
STUB
# FAKE_SUDO: nopass (sudo -n works), password (it asks, on a terminal only), denied.
cat >"$bin/sudo" <<STUB
#!$(command -v bash)
if [[ \$1 == -n ]]; then [[ \$FAKE_SUDO == nopass ]]; exit; fi
if [[ \$1 == -v ]]; then
  [[ \$FAKE_SUDO == nopass ]] && exit 0
  [[ -t 0 ]] || exit 1
  read -r -p "[sudo] password: " _
  [[ \$FAKE_SUDO == password ]] || { echo "Sorry, user may not run sudo." >&2; exit 1; }
  exit 0
fi
AS_ROOT_VIA=sudo exec "\$@"
STUB
chmod +x "$bin"/*

failures=0
fail() { echo "FAIL: $case_name: $*" >&2; failures=$((failures + 1)); }
# Runs the script with the stand-ins only; sets status, out, err.
run() {
  set +e
  PATH=$bin "$real_timeout" 20 "$bin/bash" "$script" "$@" >"$work/out" 2>"$work/err"
  status=$?
  set -e
  out=$(<"$work/out") err=$(<"$work/err")
}
# The same on a terminal (script(1) gives it one), with a password typed in.
run_on_terminal() {
  set +e
  echo secret | PATH=$bin "$real_timeout" 20 \
    "$(command -v script)" -qec "$bin/bash $script" /dev/null >"$work/out" 2>&1
  status=$?
  set -e
  out=$(<"$work/out") err=$out
}
expect() { [[ $1 == "$2" ]] || fail "expected '$2', got '$1'"; }
expect_in() { [[ $1 == *"$2"* ]] || fail "expected '$2' in: $1"; }
calls() { cat "$work/calls" 2>/dev/null || true; }

# Every package, from --check on a machine with none of them.
: >"$work/installed"
FAKE_SUDO=nopass run --check
case_name="--check on a bare machine"
expect "$status" 1
all=${err#install-deps: missing: }
read -r -a packages <<<"$all"
for needed in cmake ninja-build make g++ git tmux; do
  [[ " $all " == *" $needed "* ]] || fail "$needed is not installed by the script"
done

# Starts a case with everything installed but $1 and $2.
start() {
  case_name=$1
  printf '%s\n' "${packages[@]}" | "$real_grep" -vx -e "$2" -e "$3" >"$work/installed" || true
  rm -f "$work/calls"
}
want_apt() {  # $1 how apt-get ran: root or sudo
  expect "$(calls)" "$1 noninteractive apt-get update
$1 noninteractive apt-get install -y --no-install-recommends $2"
}

start "nothing missing" "" ""
FAKE_UID=1000 FAKE_SUDO=denied run
expect "$status" 0
expect "$(calls)" ""

start "root" tmux git
FAKE_UID=0 FAKE_SUDO=denied run
expect "$status" 0
want_apt root "git tmux"

start "a user whose sudo needs no password" make tmux
FAKE_SUDO=nopass run
expect "$status" 0
want_apt sudo "make tmux"

start "a user whose sudo needs a password, without a terminal" make tmux
FAKE_SUDO=password run
expect "$status" 1
expect_in "$err" "sudo needs a password and there is no terminal to ask for it; as root, run:"
expect_in "$err" "  apt-get update && apt-get install -y --no-install-recommends make tmux"
expect "$(calls)" ""

if command -v script >/dev/null; then
  start "a user whose sudo needs a password, on a terminal" make tmux
  FAKE_SUDO=password run_on_terminal
  expect "$status" 0
  expect_in "$out" "installing make tmux with sudo, which asks for your password"
  want_apt sudo "make tmux"

  start "a user whom sudo refuses, on a terminal" make tmux
  FAKE_SUDO=denied run_on_terminal
  expect "$status" 1
  expect_in "$out" "sudo did not let this user in; as root, run:"
  expect "$(calls)" ""
fi

start "a user without sudo" clang ""
rm "$bin/sudo"
run
expect "$status" 1
expect_in "$err" "this user is not root and sudo is not installed; as root, run:"
expect_in "$err" "apt-get install -y --no-install-recommends clang"
expect "$(calls)" ""

case_name="a bad argument"
run --frob
expect "$status" 2
expect_in "$err" "install-deps: unknown argument '--frob'"

(( failures == 0 )) && echo "install-deps: every case passed"
exit $(( failures > 0 ))
