#!/usr/bin/env bash
# Checks of the installed programs and of the Debian package, run by CTest:
#   install-check.sh tree BUILD_DIR E2E_TEST_PROGRAM
#     installs into a staging directory, moves it away and runs the
#     installed dcam-capture (the scripted session of scripts/run) and
#     dcam-viewer (the viewer's end-to-end tests) on the simulated bus;
#     needs an X server of its own (scripts/with-xvfb).
#   install-check.sh deb BUILD_DIR
#     builds the .deb and inspects it without installing it on the system:
#     its files, its dependencies, and a round of dpkg in a root of its own.
# Everything happens in a temporary directory of its own. The build's
# install script writes its list of installed files into the build
# directory, where a person's own `cmake --install` left theirs (their way
# to uninstall), so these checks run a copy that writes the list into the
# temporary directory.
set -euo pipefail
mode=${1:-} build=${2:-}
[ -n "$mode" ] && [ -d "$build" ] ||
  { echo "usage: install-check.sh tree|deb BUILD_DIR [E2E_TEST_PROGRAM]" >&2; exit 2; }
build=$(cd "$build" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/dcam-install.XXXXXX")
trap 'rm -rf -- "$tmp"' EXIT
unset LD_LIBRARY_PATH

fail() {
  echo "install-check: $*" >&2
  exit 1
}

# What `cmake --install BUILD --prefix /usr` installs, into DESTDIR $1.
install_into() {
  local pattern='^file(WRITE ".*/\${CMAKE_INSTALL_MANIFEST}"'
  [ "$(grep -c "$pattern" "$build/cmake_install.cmake")" = 1 ] ||
    fail "$build/cmake_install.cmake no longer writes its file list as expected"
  sed "s|$pattern|file(WRITE \"$tmp/\${CMAKE_INSTALL_MANIFEST}\"|" \
    "$build/cmake_install.cmake" > "$tmp/cmake_install.cmake"
  DESTDIR=$1 cmake -DCMAKE_INSTALL_PREFIX=/usr -P "$tmp/cmake_install.cmake" \
    > "$tmp/install.log" || { cat "$tmp/install.log" >&2; fail "install failed"; }
}

# The file virizeda.so resolves to when program $1 starts.
loaded_library() {
  ldd "$1" | sed -n 's/^[[:space:]]*virizeda\.so => \(.*\) (0x.*/\1/p'
}

check_tree() {
  local e2e=$1 root lib p rp
  install_into "$tmp/stage"
  mkdir "$tmp/elsewhere"
  mv "$tmp/stage" "$tmp/elsewhere/tree"
  root=$tmp/elsewhere/tree/usr
  lib=$(find "$root/lib" -name virizeda.so)
  [ -n "$lib" ] || fail "virizeda.so was not installed"
  lib=$(realpath "$lib")

  for p in dcam-capture dcam-viewer; do
    [ -x "$root/bin/$p" ] || fail "$p was not installed into bin"
    # RUNPATH only (RPATH would outrank LD_LIBRARY_PATH), and relative only
    ! readelf -d "$root/bin/$p" | grep -q '(RPATH)' || fail "$p has an RPATH"
    rp=$(readelf -d "$root/bin/$p" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]$/\1/p')
    [[ $rp == '$ORIGIN/'* && $rp != *:* ]] || fail "$p has the run path '$rp'"
    [ "$(realpath "$(loaded_library "$root/bin/$p")")" = "$lib" ] ||
      fail "$p loads $(loaded_library "$root/bin/$p"), not $lib"
    ! ldd "$root/bin/$p" | grep -qF "$build/" || fail "$p still reaches into $build"
  done
  # another virizeda.so through LD_LIBRARY_PATH, as the README says
  mkdir "$tmp/maker"
  cp "$lib" "$tmp/maker/virizeda.so"
  [ "$(LD_LIBRARY_PATH=$tmp/maker loaded_library "$root/bin/dcam-viewer")" = \
    "$tmp/maker/virizeda.so" ] || fail "LD_LIBRARY_PATH does not choose the library"

  mkdir "$tmp/session"
  "$src/scripts/run" --session "$tmp/session" "$root/bin/dcam-capture" \
    > "$tmp/session.out" 2>&1 ||
    { cat "$tmp/session.out" "$tmp/session/capture.log" >&2; fail "the capture session failed"; }
  local stored
  stored=$(find "$tmp/session" -name 'frame*.bmp' | wc -l)
  [ "$stored" -ge 10 ] && [ -s "$tmp/session/capture.png" ] ||
    { cat "$tmp/session.out" >&2; fail "capture stored $stored frames"; }

  DCAM_VIEWER_BIN=$root/bin/dcam-viewer "$e2e" --gtest_filter='ViewerProgram.*' \
    > "$tmp/viewer.out" 2>&1 || { cat "$tmp/viewer.out" >&2; fail "the installed viewer failed"; }
  grep -Eq '^\[  PASSED  \] ([2-9]|[1-9][0-9]+) tests' "$tmp/viewer.out" ||
    { cat "$tmp/viewer.out" >&2; fail "the viewer's tests did not run"; }
  echo "installed tree moved to $tmp/elsewhere: dcam-capture stored $stored frames, dcam-viewer passed"
}

# The rule's patterns against the "units" texts the kernel shows for a node.
check_udev_rule() {
  local rule=$1 units want got pattern
  while read -r want units; do
    got=no
    while read -r pattern; do
      [[ $units == $pattern ]] && got=yes
    done < <(sed -n 's/.*ATTR{units}=="\([^"]*\)".*GROUP="video", MODE="0660".*/\1/p' "$rule")
    [ "$got" = "$want" ] || fail "udev rule: units '$units' matched: $got"
  done <<'EOF'
yes 0x00a02d:0x000100
yes 0x00a02d:0x000102
yes 0x00a02d:0x010001 0x00a02d:0x000101
yes 0x00b09d:0x000114
no 0x00a02d:0x010001
no 0x00005e:0x000001
EOF
}

# The USB3 Vision rule against the interface lists udev keeps on a USB
# device (class, subclass, protocol of each interface).
check_usb_rule() {
  local rule=$1 interfaces want got pattern
  while read -r want interfaces; do
    got=no
    while read -r pattern; do
      [[ $interfaces == $pattern ]] && got=yes
    done < <(sed -n 's/.*DEVTYPE}=="usb_device".*ID_USB_INTERFACES}=="\([^"]*\)".*GROUP="video", MODE="0660".*/\1/p' "$rule")
    [ "$got" = "$want" ] || fail "udev rule: interfaces '$interfaces' matched: $got"
  done <<'EOF2'
yes :ef0500:ef0501:ef0502:
yes :ff0000:ef0502:
no :0e0100:0e0200:
no :ef0100:0e0100:
no :080650:
EOF2
}

# The package that holds library file $1, known to dpkg under /lib or /usr/lib.
owner() {
  local p=$1 q pkg
  [ -n "$p" ] || return 0
  for q in "$p" "${p#/usr}" "/usr$p"; do
    pkg=$(dpkg -S "$q" 2>/dev/null | sed -n '1s/:.*//p')
    [ -n "$pkg" ] && { echo "$pkg"; return 0; }
  done
}

check_deb() {
  install_into "$tmp/stage"
  cpack -G DEB -B "$tmp/pkg" --config "$build/CPackConfig.cmake" \
    -D CPACK_INSTALL_CMAKE_PROJECTS= -D "CPACK_INSTALL_SCRIPTS=$tmp/cmake_install.cmake" \
    -D CPACK_INSTALL_PREFIX=/usr > "$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log" >&2; fail "cpack failed"; }
  local debs=("$tmp"/pkg/*.deb)
  [ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single .deb"
  local deb=${debs[0]}

  # files and links, not directories: dpkg-deb lists the parents too
  (cd "$tmp/stage" && find . ! -type d | sed 's|^\.||' | sort) > "$tmp/installed"
  dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\.||' | sort \
    > "$tmp/packaged"
  diff -u "$tmp/installed" "$tmp/packaged" ||
    fail "the package does not hold what cmake --install installs"
  local f
  for f in /usr/bin/dcam-capture /usr/bin/dcam-viewer \
           /usr/lib/udev/rules.d/60-virizeda-iidc.rules \
           /usr/lib/udev/rules.d/60-virizeda-usb3vision.rules; do
    grep -qx "$f" "$tmp/packaged" || fail "the package lacks $f"
  done
  grep -qx '/usr/lib/.*/dcam/virizeda\.so\|/usr/lib/dcam/virizeda\.so' "$tmp/packaged" ||
    fail "virizeda.so is not in a directory of its own"
  check_udev_rule "$tmp/stage/usr/lib/udev/rules.d/60-virizeda-iidc.rules"
  check_usb_rule "$tmp/stage/usr/lib/udev/rules.d/60-virizeda-usb3vision.rules"
  # each menu entry is valid and starts a packaged command with our icon
  local entry cmd
  for entry in "$tmp"/stage/usr/share/applications/*.desktop; do
    desktop-file-validate "$entry" || fail "$(basename "$entry") is not valid"
    cmd=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
    grep -qx "/usr/bin/$cmd" "$tmp/packaged" ||
      fail "$(basename "$entry") starts '$cmd', which the package lacks"
    grep -qx 'Icon=dcam' "$entry" || fail "$(basename "$entry") names another icon"
  done

  # every library the packaged programs and virizeda.so link, but ours,
  # comes from a package that the .deb depends on
  local depends needed pkg
  depends=$(dpkg-deb --field "$deb" Depends)
  [ "$(dpkg-deb --field "$deb" Package)" = dcam ] || fail "package name"
  # GenICam cameras need aravis, whether or not a packaged file links it yet
  if grep -q '^ARAVIS_FOUND:INTERNAL=1$' "$build/CMakeCache.txt"; then
    [[ ", $depends," == *", libaravis-0.8-0"[\ ,]* ]] ||
      fail "Depends '$depends' lacks libaravis-0.8-0"
  fi
  for f in "$tmp/stage/usr/bin/dcam-capture" "$tmp/stage/usr/bin/dcam-viewer" \
           "$(find "$tmp/stage/usr/lib" -name virizeda.so)"; do
    for needed in $(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      [ "$needed" = virizeda.so ] && continue
      # "name => /path (addr)", or for the dynamic loader "/path (addr)"
      pkg=$(owner "$(ldd "$f" | sed -n -e "s|^[[:space:]]*$needed => \(/[^ ]*\) .*|\1|p" \
                                      -e "s|^[[:space:]]*\(/[^ ]*/$needed\) .*|\1|p")")
      [ -n "$pkg" ] || fail "no package holds $needed of $(basename "$f")"
      [[ ", $depends," == *", $pkg "* || ", $depends," == *", $pkg,"* ]] ||
        fail "Depends '$depends' lacks $pkg (for $needed of $(basename "$f"))"
    done
  done

  # install and remove with dpkg into a root of the test's own: every file
  # arrives, and removing leaves neither a file nor the package's record
  local r=$tmp/root dpkg_root
  mkdir -p "$r/var/lib/dpkg/info" "$r/var/lib/dpkg/updates"
  touch "$r/var/lib/dpkg/status"
  # --path-include: whatever the machine's dpkg configuration leaves out
  dpkg_root=(dpkg "--root=$r" "--log=$tmp/dpkg.log" --force-depends
             --force-script-chrootless "--path-include=*")
  "${dpkg_root[@]}" -i "$deb" > "$tmp/dpkg.out" 2>&1 ||
    { cat "$tmp/dpkg.out" >&2; fail "dpkg could not install the package"; }
  while read -r f; do
    [ -e "$r$f" ] || fail "$f is missing after installing"
  done < "$tmp/packaged"
  "${dpkg_root[@]}" -r dcam > "$tmp/dpkg.out" 2>&1 ||
    { cat "$tmp/dpkg.out" >&2; fail "dpkg could not remove the package"; }
  [ -z "$(find "$r" -path "$r/var" -prune -o ! -path "$r" -print)" ] ||
    fail "removing left $(find "$r" -path "$r/var" -prune -o ! -path "$r" -print | head -3)"
  ! dpkg-query "--root=$r" -W dcam > /dev/null 2>&1 ||
    fail "dpkg keeps a record of dcam after removing it"
  echo "$(basename "$deb"): $(wc -l < "$tmp/packaged") files; Depends: $depends"
}

case $mode in
  tree) check_tree "${3:?the end-to-end test program}" ;;
  deb) check_deb ;;
  *) fail "unknown check $mode" ;;
esac
