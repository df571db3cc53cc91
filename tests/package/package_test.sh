#!/usr/bin/env bash
# package_test.sh BUILD_DIR: the .deb and the archive cpack makes, their files checked, the .deb
# installed, run under Xvfb and purged in a clean Debian 12 root, the archive installed for one user.
# Needs root and the Debian mirror, else exits 77; the pristine root is cached in NIMBO_PACKAGE_CACHE.
set -euo pipefail

build=$(cd "${1:?usage: package_test.sh BUILD_DIR}" && pwd)
cache=${NIMBO_PACKAGE_CACHE:-/var/cache/nimbo-package-test}
started=$SECONDS
skip() { echo "package test SKIPPED: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $* ($((SECONDS - started)) s)"; }
show_fail() { cat "$1"; fail "$2"; }  # LOG MESSAGE
expect_version() { local got; got=$("$@" --version) && [[ $got == "nimbo $version"* ]] || fail "$* --version: '$got'"; }
logged() { "$@" >"$work/step.log" 2>&1 || show_fail "$work/step.log" "$*"; }  # output shown when it fails

((EUID == 0)) || skip "needs root (debootstrap, chroot, mounts, apt)"
for tool in cpack dpkg-deb debootstrap chroot mount desktop-file-validate appstreamcli man groff file curl tar xz readelf; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps installs it)"
done

# The mirrors apt uses here, so the root resolves the same package versions.
apt_uri() { apt-get indextargets --no-release-info --format '$(RELEASE) $(REPO_URI)' 2>/dev/null |
  awk -v s="$1" '$1 == s { print $2 }' | head -n1 || true; }
mirror=$(apt_uri bookworm) && mirror=${mirror:-http://deb.debian.org/debian}
security=$(apt_uri bookworm-security) && security=${security:-http://deb.debian.org/debian-security}
curl -fsS --max-time 20 -o /dev/null "${mirror%/}/dists/bookworm/Release" 2>/dev/null ||
  skip "no network to the Debian mirror ${mirror}"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[[ -n $version ]] || fail "no project version in $build/CMakeCache.txt"
arch=$(dpkg --print-architecture)
echo "package test: Nimbo $version, $arch, build folder $build, mirror $mirror"

work=$(mktemp -d /var/tmp/nimbo-package-test.XXXXXX)
root=$work/root
mounted=()
# Ends whatever still runs inside the root (the share server outlives the app on purpose).
stop_root_processes() {
  local p
  [[ -d $root ]] || return 0
  for p in /proc/[0-9]*; do [[ $(readlink "$p/root" 2>/dev/null) == "$root" ]] && kill -KILL "${p#/proc/}" 2>/dev/null; done
  return 0
}
cleanup() {
  local i
  stop_root_processes
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
  if ! grep -q " $work/" /proc/mounts; then rm -rf "$work"; else echo "left $work (still mounted)" >&2; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step "cpack"
deb=$build/nimbo_${version}_${arch}.deb
txz=$build/nimbo-${version}-linux-$(uname -m).tar.xz
rm -f "$deb" "$txz"
for g in DEB TXZ; do (cd "$build" && logged cpack -G $g); done

# Exactly these files below the prefix: nothing from tests, benchmarks or fuzzing.
expected=(bin/nimbo bin/nimbo-share-server lib/nimbo/libnimbo_app.so share/applications/com.vantori.screenshot.desktop
  share/metainfo/com.vantori.screenshot.metainfo.xml share/man/man1/nimbo.1.gz share/bash-completion/completions/nimbo
  share/icons/hicolor/scalable/apps/com.vantori.screenshot.svg)
for s in 16 24 32 48 64 128 256 512; do expected+=("share/icons/hicolor/${s}x${s}/apps/com.vantori.screenshot.png"); done
printf '%s\n' "${expected[@]}" | sort >"$work/expected"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's#^\./usr/##' | sort >"$work/deb-files"
diff -u "$work/expected" "$work/deb-files" || fail "the .deb holds other files than the ones listed above"
top="nimbo-${version}"
# The same in the archive, all in $top/.
tar -tJf "$txz" | grep -v '/$' | sed "s#^$top/##" | sort | diff -u "$work/expected" - || fail "the archive holds other files"

mkdir -p "$work/deb"
dpkg-deb -x "$deb" "$work/deb"
for elf in usr/bin/nimbo usr/bin/nimbo-share-server usr/lib/nimbo/libnimbo_app.so; do
  if readelf -d "$work/deb/$elf" | grep -E 'RPATH|RUNPATH'; then fail "$elf carries a run path"; fi
  if readelf -S "$work/deb/$elf" | grep -q '\.debug_info'; then fail "$elf is not stripped"; fi
done

step "desktop entry, metainfo, man page, completion"
share=$work/deb/usr/share
validate_entry() {  # hints too: an entry in two main categories shows twice in some menus
  local said
  said=$(desktop-file-validate "$1" 2>&1) && [[ -z $said ]] || { echo "$said"; fail "desktop-file-validate $1"; }
}
validate_entry "$share/applications/com.vantori.screenshot.desktop"
logged appstreamcli validate --no-net "$share/metainfo/com.vantori.screenshot.metainfo.xml"

man_page=$share/man/man1/nimbo.1.gz
LC_ALL=C MANWIDTH=80 man -l "$man_page" >"$work/man.txt" 2>"$work/lint.err" || fail "man -l failed"
zcat "$man_page" | groff -ww -z -man 2>>"$work/lint.err"
if command -v mandoc >/dev/null; then
  zcat "$man_page" | mandoc -T lint -W warning >>"$work/lint.err" 2>&1 || echo "mandoc -T lint failed" >>"$work/lint.err"
fi
[[ ! -s $work/lint.err ]] || show_fail "$work/lint.err" "the man page linters warned"
# Every action and option the launcher's usage names is in the man page.
"$work/deb/usr/bin/nimbo" --help >"$work/usage.txt"
words=$(grep -oE '(^|[ [(])(-[a-z]|--[a-z-]+|[a-z]+(-[a-z]+)+)' "$work/usage.txt" | sed 's/^[ [(]//' | sort -u)
words+=$'\nscreenshot\nshortcut\nedit\nNIMBO_PLATFORM\nsettings.ini\nhistory.json'
missing=()
for w in $words; do grep -qF -- "$w" "$work/man.txt" || missing+=("$w"); done
((${#missing[@]} == 0)) || fail "the man page lacks: ${missing[*]}"

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
fi

step "a clean Debian 12 root"
mkdir -p "$cache"
pristine=$cache/bookworm-minbase-$arch.tar.gz
(
  flock 9
  if [[ ! -s $pristine ]]; then
    echo "making $pristine with debootstrap (once)"
    logged debootstrap --variant=minbase bookworm "$work/fresh" "$mirror"
    tar -C "$work/fresh" -czf "$pristine.part" . && mv "$pristine.part" "$pristine" && rm -rf "$work/fresh"
  fi
) 9>"$cache/.lock" || fail "debootstrap"
mkdir -p "$root"
tar -C "$root" -xzf "$pristine"
printf 'deb %s bookworm main\ndeb %s bookworm-updates main\ndeb %s bookworm-security main\n' \
  "$mirror" "$mirror" "$security" >"$root/etc/apt/sources.list"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
mkdir -p "$cache/archives/partial" "$root/var/cache/apt/archives"
mnt() { mount "$@" || fail "cannot mount ${*: -1}"; mounted+=("${*: -1}"); }  # the mount point last
mnt -t proc proc "$root/proc"
mnt -t sysfs sysfs "$root/sys"
mnt --bind /dev "$root/dev"
mnt --bind /dev/pts "$root/dev/pts"
mnt --bind "$cache/archives" "$root/var/cache/apt/archives"  # apt keeps what it fetched for the next run
cp "$deb" "$root/tmp/"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
  DEBIAN_FRONTEND=noninteractive "$@"; }

step "apt-get install ./$(basename "$deb") xvfb xauth"
logged in_root apt-get update -q
# Without the recommended packages: what Depends brings must be enough.
logged in_root sh -c "cd /tmp && apt-get install -y -q --no-install-recommends ./$(basename "$deb") xvfb xauth"
expect_version in_root nimbo
in_root nimbo-share-server --help >/dev/null 2>&1 || fail "nimbo-share-server --help"

logged in_root xvfb-run -a -s "-screen 0 1280x800x24" nimbo screenshot -o /tmp/shot.png
file -b "$root/tmp/shot.png" | grep -q '^PNG image data, 1280 x 800,' || fail "shot.png is no PNG of the 1280x800 screen"
# The tray application starts (Qt's X11 platform plugin is there) and runs until it is stopped.
app=0
in_root sh -c 'export HOME=/tmp/home NIMBO_PLATFORM=x11; mkdir -p $HOME;
  exec xvfb-run -a -s "-screen 0 1280x800x24" timeout -s TERM 12 nimbo' >"$work/app.log" 2>&1 || app=$?
stop_root_processes
[[ $app == 124 ]] || show_fail "$work/app.log" "the tray application ended by itself with status $app"

step "apt-get remove, purge"
in_root dpkg -L nimbo >"$work/dpkg-L"
logged in_root apt-get remove -y -q nimbo
logged in_root dpkg --purge nimbo
left=()
while read -r path; do
  # Folders other packages share (/usr/bin, /usr/share/icons/…) stay.
  [[ $path == /. || -z $path ]] || [[ -d $root$path && ! -L $root$path ]] && continue
  if [[ -e $root$path || -L $root$path ]]; then left+=("$path"); fi
done <"$work/dpkg-L"
((${#left[@]} == 0)) || fail "left after removal: ${left[*]}"
[[ ! -e $root/usr/lib/nimbo ]] || fail "/usr/lib/nimbo is left after removal"

# The archive for one user, end to end; what install-local does in detail is local_install_test's.
step "the archive: nimbo install-local, uninstall-local"
home=$work/user/home
data=$home/.local/share
entry=$data/applications/com.vantori.screenshot.desktop
mkdir -p "$home"
tar -C "$work/user" -xJf "$txz"
tree=$work/user/$top
user_env=(env -i "HOME=$home" "XDG_DATA_HOME=" "XDG_CONFIG_HOME=" "PATH=/usr/local/bin:/usr/bin:/bin" LANG=C.UTF-8)

logged "${user_env[@]}" "$tree/bin/nimbo" install-local
validate_entry "$entry"
expect_version "${user_env[@]}" "$home/.local/bin/nimbo"  # run through the link, it finds its own tree

logged "${user_env[@]}" "$home/.local/bin/nimbo" uninstall-local
for gone in "$data/nimbo/versions" "$data/nimbo/current" "$home/.local/bin/nimbo" "$entry" \
  "$data/icons/hicolor/48x48/apps/com.vantori.screenshot.png" "$data/icons/hicolor/scalable/apps/com.vantori.screenshot.svg"; do
  [[ ! -e $gone && ! -L $gone ]] || fail "uninstall-local left $gone"
done
echo "package test passed in $((SECONDS - started)) s"
