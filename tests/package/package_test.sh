#!/usr/bin/env bash
# The packages as people get them:
#   package_test.sh BUILD_DIR
# makes the Debian package and the relocatable archive in BUILD_DIR (cpack),
# checks the desktop entry, the metainfo, the man page, the completion, the
# icons and the files each package holds; installs the .deb with apt in a
# clean Debian 12 (debootstrap, minbase) and takes a screenshot there under
# Xvfb, then removes it and looks for leftovers; installs the archive for a
# made-up user with `nimbo install-local`, twice, and takes it away again.
#
# Needs root and the Debian mirror apt uses here; without them it says why
# and exits 77 (skipped). The pristine root is kept as a tarball in
# /var/cache/nimbo-package-test/ (NIMBO_PACKAGE_CACHE), made when missing,
# with the packages apt fetched for it.
set -euo pipefail

build=$(cd "${1:?usage: package_test.sh BUILD_DIR}" && pwd)
cache=${NIMBO_PACKAGE_CACHE:-/var/cache/nimbo-package-test}
started=$SECONDS

skip() {
  echo "package test SKIPPED: $*"
  exit 77
}
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
ok() { echo "ok   $*"; }
step() { echo "== $* ($((SECONDS - started)) s)"; }

((EUID == 0)) || skip "needs root (debootstrap, chroot, mounts, apt)"
for tool in cpack dpkg-deb debootstrap chroot mount desktop-file-validate appstreamcli man groff file curl tar xz readelf; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps installs it)"
done

# The Debian mirror and security archive apt uses here, for a root that
# resolves the same package versions.
apt_uri() {  # SUITE
  apt-get indextargets --no-release-info --format '$(RELEASE) $(REPO_URI)' 2>/dev/null |
    awk -v s="$1" '$1 == s { print $2 }' | head -n1 || true
}
mirror=$(apt_uri bookworm)
mirror=${mirror:-http://deb.debian.org/debian}
security=$(apt_uri bookworm-security)
security=${security:-http://deb.debian.org/debian-security}
curl -fsS --max-time 20 -o /dev/null "${mirror%/}/dists/bookworm/Release" 2>/dev/null ||
  skip "no network to the Debian mirror ${mirror}"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[[ -n $version ]] || fail "no project version in $build/CMakeCache.txt"
arch=$(dpkg --print-architecture)
machine=$(uname -m)
echo "package test: Nimbo $version, $arch, build folder $build, mirror $mirror"

work=$(mktemp -d /var/tmp/nimbo-package-test.XXXXXX)
root=$work/root
mounted=()
# Whatever still runs inside the root (the share server the app started
# outlives it on purpose): ours to end before the mounts go.
stop_root_processes() {
  local p
  [[ -d $root ]] || return 0
  for p in /proc/[0-9]*; do
    [[ $(readlink "$p/root" 2>/dev/null) == "$root" ]] && kill -KILL "${p#/proc/}" 2>/dev/null
  done
  return 0
}
cleanup() {
  local i
  stop_root_processes
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
  # Only once nothing is mounted below it.
  if ! grep -q " $work/" /proc/mounts; then rm -rf "$work"; else echo "left $work (still mounted)" >&2; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---------------------------------------------------------------- packages
step "cpack"
deb=$build/nimbo_${version}_${arch}.deb
txz=$build/nimbo-${version}-linux-${machine}.tar.xz
rm -f "$deb" "$txz"
for g in DEB TXZ; do
  (cd "$build" && cpack -G $g >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack -G $g"; }
done
[[ -f $deb && -f $txz ]] || fail "cpack made no $(basename "$deb") or no $(basename "$txz")"
ok "cpack made $(basename "$deb") ($(du -h "$deb" | cut -f1)) and $(basename "$txz") ($(du -h "$txz" | cut -f1))"

# Exactly these files (paths below the prefix), nothing from tests,
# benchmarks or fuzzing.
expected=(
  bin/nimbo bin/nimbo-share-server lib/nimbo/libnimbo_app.so
  share/applications/com.vantori.screenshot.desktop
  share/metainfo/com.vantori.screenshot.metainfo.xml
  share/man/man1/nimbo.1.gz
  share/bash-completion/completions/nimbo
  share/icons/hicolor/scalable/apps/com.vantori.screenshot.svg
)
sizes=(16 24 32 48 64 128 256 512)
for s in "${sizes[@]}"; do expected+=("share/icons/hicolor/${s}x${s}/apps/com.vantori.screenshot.png"); done
printf '%s\n' "${expected[@]}" | sort >"$work/expected"

dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's#^\./usr/##' | sort >"$work/deb-files"
diff -u "$work/expected" "$work/deb-files" || fail "the .deb holds other files than the ones listed above"

top="nimbo-${version}"
tar -tJf "$txz" >"$work/txz-entries"
if grep -v "^$top/" "$work/txz-entries"; then fail "archive entries outside $top/"; fi
grep -v '/$' "$work/txz-entries" | sed "s#^$top/##" | sort >"$work/txz-files"
diff -u "$work/expected" "$work/txz-files" || fail "the archive holds other files than the .deb"
ok "the .deb holds the ${#expected[@]} files of Nimbo under /usr and nothing else, the archive the same in $top/"

control=$(dpkg-deb -W --showformat='${Package} ${Version} ${Architecture}' "$deb")
[[ $control == "nimbo $version $arch" ]] || fail "control: $control"
depends=$(dpkg-deb -f "$deb" Depends)
for d in libqt6widgets6 libqt6gui6 libavcodec libc6 qt6-qpa-plugins; do
  [[ $depends == *"$d"* ]] || fail "Depends lacks $d: $depends"
done
ok "control: $control; Depends (from dpkg-shlibdeps): $depends"

mkdir -p "$work/deb"
dpkg-deb -x "$deb" "$work/deb"
for elf in usr/bin/nimbo usr/bin/nimbo-share-server usr/lib/nimbo/libnimbo_app.so; do
  if readelf -d "$work/deb/$elf" | grep -E 'RPATH|RUNPATH'; then fail "$elf carries a run path"; fi
  if readelf -S "$work/deb/$elf" | grep -q '\.debug_info'; then fail "$elf is not stripped"; fi
done
ok "the programs carry no build-tree run path and no debug sections"

# ------------------------------------------------------------ their files
step "desktop entry, metainfo, man page, completion, icons"
share=$work/deb/usr/share
# Hints too: an entry in two main categories shows twice in some menus.
validate_entry() {
  local said
  said=$(desktop-file-validate "$1" 2>&1) || { echo "$said"; fail "desktop-file-validate $1"; }
  [[ -z $said ]] || { echo "$said"; fail "desktop-file-validate has remarks on $1"; }
}
validate_entry "$share/applications/com.vantori.screenshot.desktop"
appstreamcli validate --no-net "$share/metainfo/com.vantori.screenshot.metainfo.xml" >"$work/appstream.log" 2>&1 ||
  { cat "$work/appstream.log"; fail "appstreamcli validate"; }
grep -q "<release version=\"$version\"" "$share/metainfo/com.vantori.screenshot.metainfo.xml" ||
  fail "the metainfo has no release $version"
ok "desktop-file-validate (no errors, warnings or hints) and appstreamcli validate (release $version) pass"

man_page=$share/man/man1/nimbo.1.gz
LC_ALL=C MANWIDTH=80 man -l "$man_page" >"$work/man.txt" 2>"$work/lint.err" || fail "man -l failed"
zcat "$man_page" | groff -ww -z -man 2>>"$work/lint.err"
linted="man -l and groff -ww"
if command -v mandoc >/dev/null; then
  zcat "$man_page" | mandoc -T lint -W warning >>"$work/lint.err" 2>&1 || echo "mandoc -T lint failed" >>"$work/lint.err"
  linted+=", mandoc -T lint"
fi
if [[ -s $work/lint.err ]]; then cat "$work/lint.err"; fail "$linted warned"; fi
# Every action and option the launcher's usage names is in the man page.
"$work/deb/usr/bin/nimbo" --help >"$work/usage.txt"
words=$(grep -oE '(^|[ [(])(-[a-z]|--[a-z-]+|[a-z]+(-[a-z]+)+)' "$work/usage.txt" | sed 's/^[ [(]//' | sort -u)
words+=$'\nscreenshot\nshortcut\nedit\nNIMBO_PLATFORM\nsettings.ini\nhistory.json'
missing=()
for w in $words; do grep -qF -- "$w" "$work/man.txt" || missing+=("$w"); done
((${#missing[@]} == 0)) || fail "the man page lacks: ${missing[*]}"
for section in NAME SYNOPSIS ACTIONS ENVIRONMENT FILES "EXIT STATUS"; do
  grep -q "^$section" "$work/man.txt" || fail "the man page has no $section section"
done
ok "$linted: no warnings; it names all $(wc -w <<<"$words") commands, options and files of the usage"

completion=$share/bash-completion/completions/nimbo
bash -n "$completion" || fail "the completion does not parse"
if [[ -r /usr/share/bash-completion/bash_completion ]]; then
  complete_line() {  # the command line, completed at its end
    bash -c '
      source /usr/share/bash-completion/bash_completion; source "$1"; compopt() { :; }
      COMP_LINE=$2; COMP_POINT=${#COMP_LINE}
      read -ra COMP_WORDS <<<"${COMP_LINE//=/ = }"
      [[ $COMP_LINE == *" " ]] && COMP_WORDS+=("")
      COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMPREPLY=(); _nimbo; echo "${COMPREPLY[*]}"' _ "$completion" "$1"
  }
  first=$(complete_line "nimbo ")
  for w in $(grep -oE '^  [a-z][a-z-]+' "$work/usage.txt") install-local uninstall-local screenshot; do
    [[ " $first " == *" $w "* ]] || fail "completing 'nimbo ' does not offer $w (offers: $first)"
  done
  [[ $(complete_line "nimbo shortcut reset captureTo") == captureToClipboard ]] || fail "completing a shortcut action"
  [[ $(complete_line "nimbo --smoke --smoke-audio=m") == mic ]] || fail "completing --smoke-audio="
  ok "bash completion offers every action ($first)"
fi

for s in "${sizes[@]}"; do
  png=$share/icons/hicolor/${s}x${s}/apps/com.vantori.screenshot.png
  file -b "$png" | grep -q "^PNG image data, $s x $s," || fail "$png: $(file -b "$png")"
done
grep -q '<svg' "$share/icons/hicolor/scalable/apps/com.vantori.screenshot.svg" || fail "the scalable icon is no SVG"
ok "icons: an SVG and PNGs of ${sizes[*]} pixels, each its folder's size"

# ------------------------------------------------- the .deb in clean Debian
step "a clean Debian 12 root"
mkdir -p "$cache"
pristine=$cache/bookworm-minbase-$arch.tar.gz
(
  flock 9
  if [[ ! -s $pristine ]]; then
    echo "making $pristine with debootstrap (once)"
    fresh=$work/fresh
    debootstrap --variant=minbase bookworm "$fresh" "$mirror" >"$work/debootstrap.log" 2>&1 ||
      { tail -n 30 "$work/debootstrap.log"; exit 1; }
    tar -C "$fresh" -czf "$pristine.part" .
    mv "$pristine.part" "$pristine"
    rm -rf "$fresh"
  fi
) 9>"$cache/.lock" || fail "debootstrap"
mkdir -p "$root"
tar -C "$root" -xzf "$pristine"
ok "unpacked the pristine bookworm minbase root ($(du -sh "$pristine" | cut -f1) cached)"

cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb $security bookworm-security main
EOF
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
mkdir -p "$cache/archives/partial"
mnt() {  # mount's arguments, the mount point last
  mount "$@" || fail "cannot mount ${*: -1}"
  mounted+=("${*: -1}")
}
mnt -t proc proc "$root/proc"
mnt -t sysfs sysfs "$root/sys"
mnt --bind /dev "$root/dev"
mnt --bind /dev/pts "$root/dev/pts"
# apt keeps what it fetched for the next run.
mkdir -p "$root/var/cache/apt/archives"
mnt --bind "$cache/archives" "$root/var/cache/apt/archives"
cp "$deb" "$root/tmp/"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
  DEBIAN_FRONTEND=noninteractive "$@"; }

step "apt-get install ./$(basename "$deb") xvfb xauth"
in_root apt-get update -q >"$work/apt-update.log" 2>&1 || { cat "$work/apt-update.log"; fail "apt-get update in the root"; }
# Without the recommended packages: what Depends brings must be enough.
in_root sh -c "cd /tmp && apt-get install -y -q --no-install-recommends ./$(basename "$deb") xvfb xauth" \
  >"$work/apt-install.log" 2>&1 || { tail -n 40 "$work/apt-install.log"; fail "apt-get install of the package"; }
ok "apt-get installed $(basename "$deb") with $(grep -c '^Setting up' "$work/apt-install.log") packages"

got=$(in_root nimbo --version) || fail "nimbo --version failed in the root"
[[ $got == "nimbo $version"* ]] || fail "nimbo --version printed '$got'"

for elf in /usr/lib/nimbo/libnimbo_app.so /usr/bin/nimbo /usr/bin/nimbo-share-server; do
  if in_root ldd "$elf" | grep 'not found'; then fail "$elf: libraries not found"; fi
done
in_root nimbo-share-server --help >/dev/null 2>&1 || fail "nimbo-share-server --help"
ok "$got; every library the programs link is installed (ldd), nimbo-share-server runs"

in_root xvfb-run -a -s "-screen 0 1280x800x24" nimbo screenshot -o /tmp/shot.png >"$work/shot.log" 2>&1 ||
  { cat "$work/shot.log"; fail "nimbo screenshot under Xvfb"; }
shot=$root/tmp/shot.png
file -b "$shot" | grep -q '^PNG image data, 1280 x 800,' || fail "shot.png is no PNG of the 1280x800 screen: $(file -b "$shot")"
ok "xvfb-run nimbo screenshot -o /tmp/shot.png: a PNG of the screen's 1280x800 ($(stat -c %s "$shot") bytes)"

# The tray application starts (Qt's X11 platform plugin is there) and runs
# until it is stopped.
set +e
in_root sh -c 'export HOME=/tmp/home NIMBO_PLATFORM=x11; mkdir -p $HOME;
  exec xvfb-run -a -s "-screen 0 1280x800x24" timeout -s TERM 12 nimbo' >"$work/app.log" 2>&1
app=$?
set -e
stop_root_processes
[[ $app == 124 ]] || { cat "$work/app.log"; fail "the tray application ended by itself with status $app"; }
ok "the tray application starts under Xvfb and runs until stopped"

step "apt-get remove, purge"
in_root dpkg -L nimbo >"$work/dpkg-L"
in_root apt-get remove -y -q nimbo >"$work/apt-remove.log" 2>&1 || { cat "$work/apt-remove.log"; fail "apt-get remove"; }
in_root dpkg --purge nimbo >>"$work/apt-remove.log" 2>&1 || { cat "$work/apt-remove.log"; fail "dpkg --purge"; }
if in_root dpkg-query -W -f='${Status}' nimbo 2>/dev/null | grep -q 'install ok'; then fail "nimbo is still installed"; fi
left=()
while read -r path; do
  [[ $path == /. || -z $path ]] && continue
  # Folders other packages share (/usr/bin, /usr/share/icons/…) stay.
  [[ -d $root$path && ! -L $root$path ]] && continue
  if [[ -e $root$path || -L $root$path ]]; then left+=("$path"); fi
done <"$work/dpkg-L"
((${#left[@]} == 0)) || fail "left after removal: ${left[*]}"
[[ ! -e $root/usr/lib/nimbo ]] || fail "/usr/lib/nimbo is left after removal"
ok "apt-get remove + purge left none of the $(grep -c . "$work/dpkg-L") paths dpkg -L listed"

# ------------------------------------------------ the archive, for one user
step "the archive: nimbo install-local"
tmp=$work/user
home=$tmp/home
data=$home/.local/share
mkdir -p "$tmp/unpacked" "$home"
tar -C "$tmp/unpacked" -xJf "$txz"
tree=$tmp/unpacked/$top
user_env=(env -i "HOME=$home" "XDG_DATA_HOME=" "XDG_CONFIG_HOME=" "PATH=/usr/local/bin:/usr/bin:/bin" LANG=C.UTF-8)

# From the build folder it refuses and touches nothing (what makes a folder
# a build folder is local_install_test's; here the real one).
if "${user_env[@]}" "$build/nimbo" install-local >"$work/refuse.log" 2>&1; then fail "install-local ran from the build folder"; fi
grep -q "cpack -G TXZ" "$work/refuse.log" || { cat "$work/refuse.log"; fail "the refusal does not say to make the archive"; }
[[ ! -e $data/nimbo && ! -e $home/.local/bin ]] || fail "the refused install-local left files"

# Reinstalling, the same version again and uninstalling's keeping of
# settings and captures are local_install_test's; here the real archive and
# the real launcher's way to its own tree.
check_layout() {
  local v=$data/nimbo/versions/$version entry=$data/applications/com.vantori.screenshot.desktop
  diff -r "$tree" "$v" >/dev/null || fail "$v differs from the archive's $top/"
  [[ $(ls -A "$data/nimbo/versions") == "$version" ]] || fail "versions/ holds $(ls -A "$data/nimbo/versions")"
  [[ $(readlink "$data/nimbo/current") == "versions/$version" ]] || fail "current: $(ls -l "$data/nimbo/current" 2>&1)"
  [[ $(readlink "$home/.local/bin/nimbo") == "$data/nimbo/current/bin/nimbo" ]] ||
    fail "~/.local/bin/nimbo: $(ls -l "$home/.local/bin/nimbo" 2>&1)"
  diff -r -x icon-theme.cache "$tree/share/icons" "$data/icons" >/dev/null || fail "the installed icons are not the archive's"
  validate_entry "$entry"
  grep -qx "TryExec=$home/.local/bin/nimbo" "$entry" || fail "TryExec in $entry"
  [[ $(grep -c "^Exec=$home/.local/bin/nimbo\( \|$\)" "$entry") == $(grep -c '^Exec=' "$entry") ]] ||
    fail "an Exec= in $entry does not run $home/.local/bin/nimbo"
  got=$("${user_env[@]}" "$home/.local/bin/nimbo" --version) || fail "~/.local/bin/nimbo --version"
  [[ $got == "nimbo $version"* ]] || fail "~/.local/bin/nimbo --version printed '$got'"
}

"${user_env[@]}" "$tree/bin/nimbo" install-local >"$work/install1.log" 2>&1 || { cat "$work/install1.log"; fail "install-local"; }
sed 's/^/     | /' "$work/install1.log"
grep -q "not on your PATH" "$work/install1.log" || fail "no hint that ~/.local/bin is not on PATH"
check_layout
"${user_env[@]}" "PATH=$home/.local/bin:/usr/bin:/bin" "$home/.local/bin/nimbo" install-local >"$work/install2.log" 2>&1 ||
  { cat "$work/install2.log"; fail "install-local from the installed copy"; }
if grep -q "not on your PATH" "$work/install2.log"; then fail "the PATH hint shows with ~/.local/bin on PATH"; fi
check_layout
ok "install-local, from the archive and again from the installed copy: the archive's tree, links, menu entry, icons"

step "nimbo uninstall-local"
"${user_env[@]}" "$home/.local/bin/nimbo" uninstall-local >"$work/uninstall.log" 2>&1 ||
  { cat "$work/uninstall.log"; fail "uninstall-local"; }
sed 's/^/     | /' "$work/uninstall.log"
for gone in "$data/nimbo/versions" "$data/nimbo/current" "$home/.local/bin/nimbo" \
  "$data/applications/com.vantori.screenshot.desktop" "$data/icons/hicolor/48x48/apps/com.vantori.screenshot.png" \
  "$data/icons/hicolor/scalable/apps/com.vantori.screenshot.svg"; do
  [[ ! -e $gone && ! -L $gone ]] || fail "uninstall-local left $gone"
done
ok "uninstall-local: no versions/, current, link, menu entry or icons"

echo "package test passed in $((SECONDS - started)) s"
