#!/usr/bin/env bash
# The .deb cpack makes from the build in $1, checked as Debian would take it (each check below says
# what), then used from a scratch root it is unpacked into, the simulator plugged in as the USB scanner
# by USB_SCANNER_SIM; nothing may be found through a path into the build:
#   package.sh BUILD_DIR [USB_SCANNER_SIM]
# Exit 77 (skipped) after every other check when lintian is not installed.
set -euo pipefail
export PATH=$PATH:/usr/sbin:/sbin # ldconfig, for an ordinary user too
build=$(cd "$1" && pwd)
usbsim=${2:+$(realpath "$2")}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$scratch/package" >"$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log"; fail "cpack"; }
debs=("$scratch"/package/*.deb) ddebs=("$scratch"/package/*-dbgsym_*.ddeb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single .deb"
[ ${#ddebs[@]} = 1 ] && [ -f "${ddebs[0]}" ] || fail "cpack made no -dbgsym package"
deb=${debs[0]} ddeb=${ddebs[0]}
root=$scratch/root
dpkg -x "$deb" "$root"
dpkg -x "$ddeb" "$scratch/dbgsym"
ls -l "$deb" "$ddeb"

# Every file in /etc is a conffile, and every conffile is in the package.
dpkg-deb -e "$deb" "$scratch/control"
diff -u <(cd "$root" && find etc -type f | sed 's#^#/#' | sort) <(sort "$scratch/control/conffiles") ||
  fail "the files in /etc and the conffiles differ"

# The changelog's latest entry is this version's.
version=$(dpkg-deb -f "$deb" Version)
changes=$(gzip -dc "$root/usr/share/doc/wiastiio/changelog.gz")
[[ $changes == "wiastiio ($version) "* ]] || fail "the changelog does not start with version $version"

# The manual pages, gzipped, without a warning from groff.
[ -f "$root/usr/share/man/man1/stiscan.1.gz" ] && [ -f "$root/usr/share/man/man5/sane-wiastiio.5.gz" ] ||
  fail "no manual page stiscan(1) or sane-wiastiio(5)"
for page in "$root"/usr/share/man/man*/*; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done

# The binaries: stripped, with a build id whose debug file in the -dbgsym package has the debug
# information; each shared library they need comes from the package or from a package Depends names.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
has_dependency() { sed 's/, */\n/g' <<<"$depends" | awk -v name="$1" '$1 == name { found = 1 } END { exit !found }'; }
# The package that owns a file, whichever of /lib and /usr/lib it was installed under.
owner_of() {
  local real path owner
  real=$(realpath "$1")
  for path in "$1" "$real" "${real#/usr}"; do
    owner=$(dpkg -S "$path" 2>/dev/null | sed -n '1s/:.*//p')
    [ -n "$owner" ] && echo "$owner" && return 0
  done
  return 1
}
has_dependency libusb-1.0-0 || fail "Depends does not name libusb-1.0-0"
elves=0
while IFS= read -r -d '' binary; do
  [[ $(file -b "$binary") == ELF* ]] || continue
  elves=$((elves + 1))
  name=${binary#"$root"}
  sections=$(readelf -S -W "$binary")
  if grep -qE ' \.(symtab|debug_info) ' <<<"$sections"; then fail "$name is not stripped"; fi
  id=$(readelf -n "$binary" | sed -n 's/.*Build ID: \([0-9a-f]*\).*/\1/p')
  [ -n "$id" ] || fail "$name has no build id"
  debug=$scratch/dbgsym/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
  [ -f "$debug" ] || fail "the -dbgsym package has no debug file for $name ($id)"
  [[ $(readelf -S -W "$debug" 2>/dev/null) == *" .debug_info "* ]] ||
    fail "the debug file of $name holds no debug information"
  for library in $(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [ -n "$(find "$root" -name "$library")" ] && continue
    path=$(ldconfig -p | awk -v lib="$library" '$1 == lib && /x86-64/ && !found { print $NF; found = 1 }')
    [ -n "$path" ] || fail "$name needs $library, found neither in the package nor on this machine"
    owner=$(owner_of "$path") || fail "no package owns $path"
    has_dependency "$owner" || fail "$name needs $library of $owner, which Depends does not name"
  done
done < <(find "$root" -type f -print0)
[ "$elves" -ge 4 ] || fail "only $elves binaries in the package"

# The udev rule tags the scanners of the shipped configuration, and those alone.
conf=$root/etc/sane.d/wiastiio.conf
rule=$root/usr/lib/udev/rules.d/60-wiastiio.rules
[ -f "$rule" ] || fail "no udev rule"
conf_ids=$(while read -r key vendor product _; do
  if [ "$key" = usb ]; then printf '%04x:%04x\n' "$((16#${vendor#0[xX]}))" "$((16#${product#0[xX]}))"; fi
done <"$conf" | sort)
rule_ids=$(grep -v '^#' "$rule" | grep 'TAG+="uaccess"' |
  sed -n 's/.*ATTR{idVendor}=="\([0-9a-f]*\)".*ATTR{idProduct}=="\([0-9a-f]*\)".*/\1:\2/p' | sort)
[ -n "$conf_ids" ] || fail "the shipped wiastiio.conf lists no scanner"
[ "$conf_ids" = "$rule_ids" ] || fail "the udev rule's ids ($rule_ids) are not the configuration's ($conf_ids)"
# The postinst applies the rule to those scanners when udev runs; nothing else of CPack's is left.
trigger_ids=$(sed -n 's/.*udevadm trigger .*idVendor=\([0-9a-f]*\) .*idProduct=\([0-9a-f]*\).*/\1:\2/p' \
  "$scratch/control/postinst" | sort)
[ "$trigger_ids" = "$conf_ids" ] && grep -q '/run/udev/control' "$scratch/control/postinst" ||
  fail "the postinst does not trigger the rule's scanners ($trigger_ids) only where udev runs"

# Somewhere to send a problem: each manual page's REPORTING PROBLEMS section, the capture's description,
# and no address that cannot receive mail.
for page in stiscan.1 sane-wiastiio.5; do
  gzip -dc "$root"/usr/share/man/man*/$page.gz | grep -q '^\.SH REPORTING PROBLEMS' || fail "$page: no REPORTING PROBLEMS"
done
[ -f "$root/usr/share/doc/wiastiio/CAPTURE.md" ] || fail "CAPTURE.md is not installed"
for doc in $(grep -ho '/usr/share/doc/[^ );]*' "$root"/etc/sane.d/wiastiio.conf); do
  [ -f "$root$doc" ] || fail "wiastiio.conf names $doc, which is not installed"
done
if zgrep -rl '\.invalid' "$root/usr/share"; then fail "a document names an address that cannot receive mail"; fi

# stiscan from the scratch root, through paths relative to itself: the scanner of the package's
# configuration on the bus, else the simulator.
cd "$scratch"
if [ -x "$usbsim" ]; then
  SANE_CONFIG_DIR=$root/etc/sane.d "$usbsim" -- env -u WIASTIIO_USB_IDS root/usr/bin/stiscan -r 75 --size a5 -o page.png -q
else
  root/usr/bin/stiscan --simulate -r 75 --size a5 -o page.png -q
fi
test -s page.png
readelf -d root/usr/bin/stiscan | grep -q 'RUNPATH.*\$ORIGIN/\.\./lib/wiastiio'
if readelf -d root/usr/bin/stiscan root/usr/lib/wiastiio/*.so root/usr/lib/*/sane/*.so.* | grep -F "$build"; then
  fail "a RUNPATH points into the build"
fi

# scanimage through the package's backend: SANE's dll backend reads the scratch root's configuration
# (an empty dll.conf as libsane's would be, and the package's dll.d entry) and finds the backend
# through LD_LIBRARY_PATH, as in SANE's own folder.
if command -v scanimage >/dev/null && [ -x "$usbsim" ]; then
  echo "# no backend but the dll.d entries" >root/etc/sane.d/dll.conf
  sane() {
    SANE_CONFIG_DIR=$root/etc/sane.d LD_LIBRARY_PATH=$(echo "$root"/usr/lib/*/sane) SANE_DEBUG_WIASTIIO=3 \
      timeout 60 "$usbsim" --sheets 2 -- scanimage "$@"
  }
  sane -L 2>sane.err | tee sane.out
  grep -qx "device \`wiastiio:usb:1234:5678' is a WIASTIIO USB scanner 1234:5678 flatbed scanner" sane.out ||
    { cat sane.err; fail "scanimage does not list the configured scanner"; }
  sane -d wiastiio:usb:1234:5678 --source ADF --resolution 75 --batch=sane%d.png --format=png 2>sane.err ||
    { cat sane.err; fail "scanimage could not scan"; }
  grep -q "Batch terminated, 2 pages scanned" sane.err || { cat sane.err; fail "not two pages"; }
  library=$(sed -n 's/^\[wiastiio\] opened usb:1234:5678 through //p' sane.err)
  [ -n "$library" ] && [ "$(realpath "$library")" = "$(realpath root/usr/lib/wiastiio/WIASTIIO.so)" ] ||
    { cat sane.err; fail "the backend did not load the package's library"; }
  file sane1.png sane2.png
  file sane1.png | grep -q 'PNG image data, 637 x' || fail "sane1.png is not a page at 75 dpi"
else
  echo "scanimage or usb-scanner-sim missing: the scan through SANE is left out"
fi

# lintian: no error and no warning on the package and its -dbgsym package.
if ! command -v lintian >/dev/null; then
  echo "lintian is not installed: skipped"
  exit 77
fi
lintian --fail-on error,warning "$deb" "$ddeb" 2>&1 | tee lintian.out || fail "lintian"
if grep -E '^[EW]: ' lintian.out; then fail "lintian reports errors or warnings"; fi
echo "lintian: no error, no warning"
