#!/usr/bin/env bash
# tools/install-deps as root, as a user with sudo (with and without a password, with and
# without a terminal to ask on) and as a user without it, against stand-ins for id,
# dpkg-query, apt-get and sudo.  Nothing is installed.
set -euo pipefail
script=${1:?usage: install_deps_test.sh PATH/TO/install-deps}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bin=$work/bin sh=$(command -v bash) real_grep=$(command -v grep) real_timeout=$(command -v timeout)
real_script=$(command -v script || true)
mkdir "$bin"
ln -s "$(command -v env)" "$bin/env"
ln -s "$sh" "$bin/bash"

# The stand-ins keep their state in $work: installed (one package a line), calls (what ran).
printf '#!%s\necho "${FAKE_UID:-1000}"\n' "$sh" >"$bin/id"
printf '#!%s\n%s -qx -- "${@: -1}" %s && echo -n "install ok installed"\n' \
  "$sh" "$real_grep" "$work/installed" >"$bin/dpkg-query"
cat >"$bin/apt-get" <<STUB
#!$sh
echo "\${AS_ROOT_VIA:-root} \${DEBIAN_FRONTEND:-} apt-get \$*" >>"$work/calls"
if [[ \$1 == install ]]; then for p in "\${@:2}"; do [[ \$p == -* ]] || echo "\$p"; done; fi \
  >>"$work/installed"
STUB
# FAKE_SUDO: nopass (sudo -n works), password (it asks, on a terminal only), denied.
cat >"$bin/sudo" <<STUB
#!$sh
if [[ \$1 == -n ]]; then [[ \$FAKE_SUDO == nopass ]]; exit; fi
if [[ \$1 == -v ]]; then
  [[ \$FAKE_SUDO == nopass ]] && exit 0
  [[ -t 0 ]] && read -r -p "[sudo] password: " _ && [[ \$FAKE_SUDO == password ]]; exit
fi
AS_ROOT_VIA=sudo exec "\$@"
STUB
chmod +x "$bin"/*

failures=0
fail() { echo "FAIL: $case_name: $*" >&2; failures=$((failures + 1)); }
# Runs the script with the stand-ins only, on a terminal (script(1) gives it one, and a
# password is typed in) when $terminal is set; sets status and err.
run() {
  set +e
  if [[ -n ${terminal:-} ]]; then
    echo secret | PATH=$bin "$real_timeout" 20 "$real_script" -qec "$bin/bash $script" /dev/null \
      >"$work/err" 2>&1
  else
    PATH=$bin "$real_timeout" 20 "$bin/bash" "$script" "$@" >/dev/null 2>"$work/err"
  fi
  status=$?
  set -e
  err=$(<"$work/err")
  err=${err//$'\r'/}
}
expect() { [[ $1 == "$2" ]] || fail "expected '$2', got '$1'"; }
expect_in() { [[ $1 == *"$2"* ]] || fail "expected '$2' in: $1"; }
calls() { cat "$work/calls" 2>/dev/null || true; }

# Every package, from --check on a machine with none of them.
: >"$work/installed"
case_name="--check on a bare machine"
FAKE_SUDO=nopass run --check
expect "$status" 1
read -r -a packages <<<"${err#install-deps: missing: }"

# One case: everything installed but $2 and $3, run by user $4 (0 is root) whose sudo is $5 (or
# "none" when it is not installed), on a terminal when $6 is "tty"; it must exit $7, run
# apt-get as $8 (root, sudo or "-" for not at all), and say $9.
case_() {
  case_name=$1
  printf '%s\n' "${packages[@]}" | "$real_grep" -vx -e "$2" -e "$3" >"$work/installed" || true
  rm -f "$work/calls"
  [[ $5 == none ]] && rm -f "$bin/sudo"
  [[ $6 != tty || -n $real_script ]] || return 0
  FAKE_UID=$4 FAKE_SUDO=$5 terminal=${6#-} run
  expect "$status" "$7"
  local missing="$2${3:+ $3}"
  local want=""
  [[ $8 == - ]] || want="$8 noninteractive apt-get update
$8 noninteractive apt-get install -y --no-install-recommends $missing"
  expect "$(calls)" "$want"
  expect_in "$err" "$9"
}
as_root="; as root, run:
  apt-get update && apt-get install -y --no-install-recommends"
#     what                            missing   uid  sudo     term status apt-get says
case_ "nothing missing"               "" ""     1000 denied   -    0      -       ""
case_ "root"                          git tmux  0    denied   -    0      root    ""
case_ "sudo without a password"       make tmux 1000 nopass   -    0      sudo    ""
case_ "sudo's password, no terminal"  make tmux 1000 password -    1      -  \
  "sudo needs a password and there is no terminal to ask for it$as_root make tmux"
case_ "sudo's password on a terminal" make tmux 1000 password tty  0      sudo \
  "installing make tmux with sudo, which asks for your password"
case_ "sudo refuses, on a terminal"   make tmux 1000 denied   tty  1      - \
  "sudo did not let this user in$as_root make tmux"
case_ "no sudo"                       clang ""  1000 none     -    1      - \
  "this user is not root and sudo is not installed$as_root clang"

case_name="a bad argument"
run --frob
expect "$status" 2
expect_in "$err" "install-deps: unknown argument '--frob'"

(( failures == 0 )) && echo "install-deps: every case passed"
exit $(( failures > 0 ))
