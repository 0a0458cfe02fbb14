#!/usr/bin/env bash
# scripts/setup against a mirror caught mid-sync: a tiny repository served on loopback whose
# security suite lists its armhf index with the wrong size, installed into a dpkg root and apt
# state of the test's own (the machine's apt and dpkg are never touched).
#
# The host has libk5t1, libk5t-dev and libk5t-bin 1.0-2 from the security suite; armhf has only
# 1.0-1 left once that index fails; the libraries are Multi-Arch: same, the tool host-only. libk5u1 2.0-2 is installed on the host
# and armhf only has 2.0-1, for which no amd64 build exists.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "setup test: needs root (dpkg into a root of its own)"; exit 1; }
T=$(mktemp -d /tmp/k5cam-setup-test.XXXXXX)
server=""
cleanup() {
  [ -z "$server" ] || kill "$server" 2>/dev/null
  rm -rf "$T"
}
trap cleanup EXIT

passed=0
failed=0
check() {  # description command...
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $what"
  fi
}

# --- the packages: name version arch depends multi-arch
deb() {
  local name=$1 version=$2 arch=$3 depends=${4:-} ma=${5:-same} dir="$T/build/$1_$2_$3"
  mkdir -p "$dir/DEBIAN" "$dir/usr/share/k5test/$arch"
  echo "$name $version" >"$dir/usr/share/k5test/$arch/$name"
  {
    echo "Package: $name"
    echo "Version: $version"
    echo "Architecture: $arch"
    case $name in libk5t*) echo "Source: k5t" ;; *) echo "Source: k5u" ;; esac
    echo "Multi-Arch: $ma"
    echo "Maintainer: k5cam tests <tests@localhost>"
    [ -z "$depends" ] || echo "Depends: $depends"
    echo "Description: setup test package"
  } >"$dir/DEBIAN/control"
  dpkg-deb -Zgzip --root-owner-group --build "$dir" "$T/debs/${name}_${version}_${arch}.deb" >/dev/null
}
mkdir -p "$T/debs"
for arch in amd64 armhf; do
  for v in 1.0-1 1.0-2; do
    deb libk5t1 "$v" "$arch"
    deb libk5t-dev "$v" "$arch" "libk5t1 (= $v)"
  done
done
# A host-only tool built from the same source, tied to its library's version.
deb libk5t-bin 1.0-1 amd64 "libk5t1 (= 1.0-1)" foreign
deb libk5t-bin 1.0-2 amd64 "libk5t1 (= 1.0-2)" foreign
deb libk5u1 2.0-1 armhf
deb libk5u1 2.0-2 amd64

# --- the repository: suite, arch, packages in it
repo=$T/repo
index() {
  local suite=$1 arch=$2
  shift 2
  local dir="$repo/dists/$suite/main/binary-$arch" pool="$repo/pool/$suite"
  mkdir -p "$dir" "$pool"
  for p in "$@"; do cp "$T/debs/$p" "$pool/"; done
  (cd "$repo" && dpkg-scanpackages -m -a "$arch" "pool/$suite" /dev/null 2>/dev/null) >"$dir/Packages"
}
release() {  # suite [index whose size is given wrong]
  local suite=$1 bad=${2:-} dir="$repo/dists/$1"
  mkdir -p "$dir/main/source"
  : >"$dir/main/source/Sources"
  {
    echo "Suite: $suite"
    echo "Codename: $suite"
    echo "Date: $(date -Ru)"
    echo "Architectures: amd64 armhf"
    echo "Components: main"
    echo "SHA256:"
    (cd "$dir" && for f in main/binary-amd64/Packages main/binary-armhf/Packages main/source/Sources; do
      size=$(stat -c %s "$f")
      [ "$f" != "$bad" ] || size=$((size + 7))
      echo " $(sha256sum "$f" | cut -d' ' -f1) $size $f"
    done)
  } >"$dir/Release"
}
index stable amd64 libk5t1_1.0-1_amd64.deb libk5t-dev_1.0-1_amd64.deb libk5t-bin_1.0-1_amd64.deb
index stable armhf libk5t1_1.0-1_armhf.deb libk5t-dev_1.0-1_armhf.deb libk5u1_2.0-1_armhf.deb
index security amd64 libk5t1_1.0-2_amd64.deb libk5t-dev_1.0-2_amd64.deb libk5t-bin_1.0-2_amd64.deb \
  libk5u1_2.0-2_amd64.deb
index security armhf libk5t1_1.0-2_armhf.deb libk5t-dev_1.0-2_armhf.deb
release stable
release security main/binary-armhf/Packages

python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$repo" >"$T/http.log" 2>&1 &
server=$!
port=""
for _ in $(seq 100); do
  port=$(sed -nE 's/^Serving HTTP on .* port ([0-9]+).*/\1/p' "$T/http.log" 2>/dev/null)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "setup test: the HTTP server did not start"; cat "$T/http.log"; exit 1; }

# --- apt and dpkg of the test's own
droot=$T/root
admin=$droot/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates" "$T/etc/apt.conf.d" "$T/etc/sources.list.d" \
  "$T/etc/preferences.d" "$T/state/lists/partial" "$T/cache/archives/partial" "$T/log"
: >"$admin/status"
: >"$admin/available"
cat >"$T/apt.conf" <<EOF
Dir::Etc "$T/etc/";
Dir::Etc::main "/dev/null";
Dir::Etc::parts "$T/etc/apt.conf.d/";
Dir::Etc::sourcelist "$T/etc/sources.list";
Dir::Etc::sourceparts "$T/etc/sources.list.d/";
Dir::State "$T/state/";
Dir::State::status "$admin/status";
Dir::Cache "$T/cache/";
Dir::Log "$T/log/";
APT::Architecture "amd64";
APT::Architectures { "amd64"; "armhf"; };
APT::Sandbox::User "root";
Acquire::Languages "none";
Acquire::Retries "0";
DPkg::Options { "--root=$droot"; "--admindir=$admin"; "--log=$T/log/dpkg.log"; };
EOF
cat >"$T/etc/sources.list" <<EOF
deb [trusted=yes] http://127.0.0.1:$port/ stable main
deb [trusted=yes] http://127.0.0.1:$port/ security main
EOF
export APT_CONFIG=$T/apt.conf DPKG_ADMINDIR=$admin
dpkg --root="$droot" --admindir="$admin" --log=/dev/null -i \
  "$T/debs/libk5t1_1.0-2_amd64.deb" "$T/debs/libk5t-dev_1.0-2_amd64.deb" "$T/debs/libk5t-bin_1.0-2_amd64.deb" \
  "$T/debs/libk5u1_2.0-2_amd64.deb" >/dev/null || { echo "setup test: host packages not installed"; exit 1; }

installed() {  # pkg:arch -> its version, or nothing
  dpkg-query -W -f='${db:Status-Abbrev} ${Version}' "$1" 2>/dev/null | awk '$1 == "ii" {print $2}'
}
run_setup() {  # log, then the environment for scripts/setup
  local log=$1
  shift
  env SETUP_APT_TRIES=2 SETUP_APT_PAUSE=0 SETUP_SERVICES="" SETUP_HOST_PACKAGES="libk5t1:amd64" \
    "$@" bash "$ROOT/scripts/setup" >"$log" 2>&1
}

# 1. The armhf index fails twice; setup goes on with the stable lists and installs the armhf
#    package at the one version both architectures have, the host stepping back with its -dev.
rc=0
run_setup "$T/first.log" SETUP_ARMHF_PACKAGES="libk5t-dev:armhf" || rc=$?
check "a failed armhf index does not stop setup (exit $rc)" [ "$rc" -eq 0 ]
check "one line names the failed index" \
  [ "$(grep -c "^setup: index failed: http://127.0.0.1:$port/\? security/main armhf Packages" "$T/first.log")" -eq 1 ]
check "libk5t-dev:armhf installed at 1.0-1" [ "$(installed libk5t-dev:armhf)" = 1.0-1 ]
check "libk5t1 at 1.0-1 for both architectures" \
  [ "$(installed libk5t1:armhf) $(installed libk5t1:amd64)" = "1.0-1 1.0-1" ]
check "the host's libk5t-dev and libk5t-bin stepped back, not removed" \
  [ "$(installed libk5t-dev:amd64) $(installed libk5t-bin:amd64)" = "1.0-1 1.0-1" ]
check "an unrelated host package untouched" [ "$(installed libk5u1:amd64)" = 2.0-2 ]
check "the armhf files are in the test's root" [ -f "$droot/usr/share/k5test/armhf/libk5t-dev" ]
check "the deb-src entries went into the test's sources" \
  grep -q '^deb-src .*127.0.0.1' "$T/etc/sources.list.d/k5cam-deb-src.list"
check "the armhf index failed on both tries" \
  [ "$(grep -c 'GET /dists/security/main/binary-armhf/Packages' "$T/http.log")" -eq 2 ]

# 2. Nothing missing: no apt-get update, nothing fetched.
requests=$(grep -c 'GET ' "$T/http.log")
rc=0
run_setup "$T/second.log" SETUP_ARMHF_PACKAGES="libk5t-dev:armhf" || rc=$?
check "nothing missing: exit 0 (exit $rc)" [ "$rc" -eq 0 ]
check "nothing missing: the lists are not updated" [ "$(grep -c 'GET ' "$T/http.log")" -eq "$requests" ]

# 3. No version of libk5u1 for both architectures: one line says which, and setup fails.
rc=0
run_setup "$T/third.log" SETUP_ARMHF_PACKAGES="libk5u1:armhf" || rc=$?
check "no common version: setup fails (exit $rc)" [ "$rc" -ne 0 ]
check "no common version: one line names the package, both versions and the index" \
  [ "$(grep -c "^setup: cannot install the armhf packages: libk5u1 is 2.0-2 on the host and 2.0-1 for armhf.*index failed: .*security/main armhf Packages" "$T/third.log")" -eq 1 ]
check "no common version: the host keeps its libk5u1" [ "$(installed libk5u1:amd64)" = 2.0-2 ]

if [ "$failed" -ne 0 ]; then
  for f in first second third; do echo "--- $f run:"; cat "$T/$f.log"; done
fi
echo "setup: ${passed} passed, ${failed} failed"
[ "$failed" -eq 0 ]
