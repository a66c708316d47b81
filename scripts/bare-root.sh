#!/usr/bin/env bash
# Installs the three packages into a bare Debian 12 root (debootstrap's minbase)
# with `apt-get install ./PACKAGE.deb` alone: tamblet-cli first, saying what it
# brought in and checking that it works there without Qt, then tamblet and
# tamblet-devsim, checking that the programs run and that the manual pages and
# the desktop files are where they are looked for.
# The root is made once (bare-root-lib.sh); each run installs into a throw-away
# overlay of it, so it stays bare.
# Needs root (asks sudo otherwise) and Debian's package mirror.
#   bare-root.sh DEB...
set -euo pipefail
export PATH=$PATH:/usr/sbin:/sbin
source "$(dirname "$0")/bare-root-lib.sh"
debs=()
for deb in "$@"; do debs+=("$(realpath "$deb")"); done
((${#debs[@]})) || { echo "usage: bare-root.sh DEB..." >&2; exit 2; }
if (($(id -u) != 0)); then
  exec sudo TAMBLET_VM_CACHE="$cache" "$0" "${debs[@]}"
fi

start=$(date +%s)
make_bare_root

work=$(mktemp -d)
trap 'rm -rf --one-file-system "$work"; echo "bare root: $(($(date +%s) - start)) s (root $made)"' EXIT
mkdir -p "$work"/{upper,scratch,merged,debs}
cp "${debs[@]}" "$work/debs/"

# Everything mounted here goes away with this mount namespace.
status=0
unshare --mount --propagation private bash -s -- "$root" "$work" "$archives" "$(dirname "$0")" <<'EOF' || status=$?
set -euo pipefail
root=$1 work=$2 archives=$3
source "$4/bare-root-lib.sh"
enter_bare_root "$root" "$work" "$archives"
mount --bind "$work/debs" "$merged/mnt"
# The root is thrown away: dpkg need not sync every file it unpacks.
apt=(apt-get -q -o APT::Sandbox::User=root -o Dpkg::Use-Pty=0 -o Dpkg::Options::=--force-unsafe-io)
log=$work/apt.log
# As the README tells users: `apt-get install ./PACKAGE.deb`, Recommends and all.
#   install PACKAGE...
install() {
  local debs=() package
  for package in "$@"; do debs+=("$(cd "$work/debs" && printf './%s' "${package}"_*.deb)"); done
  in_root sh -c 'cd /mnt && exec "$@"' sh "${apt[@]}" install -y "${debs[@]}" >"$log" 2>&1 || {
    cat "$log"
    echo "FAIL: ${debs[*]} does not install into a bare Debian 12"
    exit 1
  }
  sed -n '/^The following NEW/,/^[0-9]* upgraded/p' "$log"
}
# Runs the checks on standard input in the root; fails if one failed.
checks() {
  {
    cat <<'PRELUDE'
set -uo pipefail
failed=0
check() {  # check WHAT COMMAND...: the command succeeds
  local what=$1
  shift
  if out=$("$@" 2>&1); then echo "ok: $what"; else echo "FAIL: $what: $out"; failed=1; fi
}
cd /tmp
PRELUDE
    cat
    echo 'exit $failed'
  } | in_root bash -s
}
in_root "${apt[@]}" update >"$log" 2>&1 || { cat "$log"; echo "FAIL: apt-get update"; exit 1; }

# The terminal package alone first: what it brings in, and that it works
# without anything of the window's.
install tamblet-cli
packages=$(sed -n 's/^.* \([0-9]*\) newly installed.*$/\1/p' "$log")
space=$(sed -n 's/^After this operation, \(.*\) of additional disk space will be used\.$/\1/p' "$log")
echo "bare root: tamblet-cli alone installed $packages packages (itself among them), $space"
status=0
checks <<'CHECKS' || status=1
check "tamblet-cli --version" sh -c 'test "$(tamblet-cli --version)" = "tamblet-cli $(dpkg-query -W -f="\${Version}" tamblet-cli | cut -d- -f1)"'
check "tamblet-cli ports: no instrument, and why" sh -c \
  'tamblet-cli ports 2>err; test $? = 4 && grep -q "^tamblet-cli: no instrument found" err || { cat err; exit 1; }'
check "tamblet-pgm writes an update file" tamblet-pgm write x.pgm --model MODEL-X --version 1.02 \
  --target 1 --chunk 0x1000 --region 0:0x2000 --image-size 0x4000 --seed 7
check "tamblet-pgm inspect on it" tamblet-pgm inspect x.pgm
for page in tamblet-cli tamblet-pgm; do
  check "man -w $page" test "$(man -w "$page")" = "/usr/share/man/man1/$page.1.gz"
  check "bash completion of $page" test -f "/usr/share/bash-completion/completions/$page"
done
check "no Qt installed" sh -c '! dpkg-query -W -f="\${Package}\n" | grep -i qt'
check "no window installed" sh -c '! command -v tamblet'
CHECKS

# Then the window and the simulator beside it.
install tamblet tamblet-devsim
in_root "${apt[@]}" autoclean >/dev/null 2>&1
checks <<'CHECKS' || status=1
check "tamblet --help" sh -c 'tamblet --help | grep -q "^usage: *tamblet"'
check "tamblet without a display: one line, status 1" sh -c \
  'tamblet 2>err; s=$?; test $s = 1 && test "$(wc -l <err)" = 1 && grep -q tamblet-cli err || { cat err; exit 1; }'
check "tamblet-devsim --help" sh -c 'tamblet-devsim --help | grep -q -- --raw'
check "tamblet-devsim without a JACK server: its own line only" sh -c \
  'tamblet-devsim --server none-here 2>err; test $? = 1 && test "$(cat err)" = "tamblet-devsim: no JACK server is running" || { cat err; exit 1; }'
for page in tamblet tamblet-devsim; do
  check "man -w $page" test "$(man -w "$page")" = "/usr/share/man/man1/$page.1.gz"
done
desktop=/usr/share/applications/tamblet.desktop
check "desktop entry, its program and icon" sh -c "test -f $desktop &&
  command -v \"\$(sed -n 's/^Exec=//p' $desktop)\" &&
  test -f \"/usr/share/icons/hicolor/scalable/apps/\$(sed -n 's/^Icon=//p' $desktop).svg\""
check "metainfo names the desktop entry" \
  grep -q '<launchable type="desktop-id">tamblet.desktop</launchable>' /usr/share/metainfo/org.tamblet.Tamblet.metainfo.xml
check "the window's package holds no terminal program and no simulator" sh -c \
  '! dpkg -L tamblet | grep -E "devsim|tamblet-(cli|pgm)"'
CHECKS
exit $status
EOF
exit $status
