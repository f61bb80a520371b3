#!/usr/bin/env bash
# Prepares what the win32 leg's tests run in: 32-bit Wine inside a Debian i386 root, its
# programs started by the kernel through a binfmt_misc entry for a static qemu-i386 (this
# machine runs no 32-bit code itself). Safe to run again: what an earlier run made is
# reused, a half-made piece is made again, and nothing is removed that this script did not add.
#
#   LUMOX_WINE32_HOME   where the emulator and the i386 root are kept (default
#                       /var/cache/lumox-wine32, outside any clone, so every clone reuses them)
#
# Packages come from the Debian mirror that this machine's own apt sources name. The emulator
# is qemu-i386 of the next Debian release (bookworm's own is far too slow for Wine), unpacked
# from its qemu-user package with an apt state of its own, so the host's apt lists stay as
# they are. Needs root, debootstrap and dpkg-deb.
set -euo pipefail
home=${LUMOX_WINE32_HOME:-/var/cache/lumox-wine32}
root=$home/root
qemu=$home/qemu-i386
suite=bookworm
emulator_suite=trixie
binfmt=/proc/sys/fs/binfmt_misc
entry=lumox-i386
# 32-bit x86 ELF executables and shared objects (e_type 2 or 3, e_machine 3).
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
packages=(wine wine32 locales libgnutls30 ca-certificates fonts-ipafont-gothic)

say() { echo "wine32-prepare: $*"; }

# The URIs of this machine's apt sources that serve Debian's main archive and its security
# archive, read from one-line .list files and deb822 .sources files.
read_mirrors() {
  python3 - "$@" <<'EOF'
import glob, re
main = security = None
files = ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list")) \
    + sorted(glob.glob("/etc/apt/sources.list.d/*.sources"))
for path in files:
    try:
        text = open(path).read()
    except OSError:
        continue
    entries = []
    if path.endswith(".sources"):
        for stanza in re.split(r"\n\s*\n", text):
            fields = {}
            for line in stanza.splitlines():
                if line.startswith("#") or ":" not in line:
                    continue
                key, _, value = line.partition(":")
                fields[key.strip().lower()] = value.split()
            if "deb" in fields.get("types", []) and fields.get("enabled", ["yes"])[0] != "no":
                entries += [(uri, fields.get("suites", [])) for uri in fields.get("uris", [])]
    else:
        for line in text.splitlines():
            words = re.sub(r"\[[^\]]*\]", "", line.split("#")[0]).split()
            if len(words) >= 3 and words[0] == "deb":
                entries.append((words[1], [words[2]]))
    for uri, suites in entries:
        if not uri.startswith(("http://", "https://")):
            continue
        if any(s.endswith("-security") or "/updates" in s for s in suites):
            security = security or uri.rstrip("/")
        else:
            main = main or uri.rstrip("/")
print(main or "", security or "")
EOF
}

# The static qemu-i386 of the next release's qemu-user package, unpacked only.
make_emulator() {
  [ -x "$qemu" ] && "$qemu" --version >/dev/null 2>&1 && return 0
  say "fetching qemu-i386 of $emulator_suite"
  local apt=$home/apt-$emulator_suite
  rm -rf "$apt"
  mkdir -p "$apt"/{lists/partial,cache/archives/partial,preferences.d,unpack}
  echo "deb $mirror $emulator_suite main" > "$apt/sources.list"
  local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o Dir::Etc::Preferences=/dev/null -o "Dir::Etc::PreferencesParts=$apt/preferences.d"
    -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
    -o Dir::State::status=/dev/null -o APT::Architectures::=amd64 -o APT::Sandbox::User=root)
  apt-get -qq "${opts[@]}" update
  (cd "$apt" && apt-get -qq "${opts[@]}" download qemu-user)
  dpkg-deb --fsys-tarfile "$apt"/qemu-user_*.deb | tar -x -C "$apt/unpack" ./usr/bin/qemu-i386
  "$apt/unpack/usr/bin/qemu-i386" --version | head -n 1
  mv "$apt/unpack/usr/bin/qemu-i386" "$qemu.new"
  mv "$qemu.new" "$qemu"
  rm -rf "$apt"
}

# The binfmt_misc entry. The F flag opens the emulator now, so the i386 root needs no copy
# of it. The kernel tries the newest entry first: ours is registered again when another
# entry with the same magic came after it.
register_binfmt() {
  mountpoint -q "$binfmt" || mount -t binfmt_misc binfmt_misc "$binfmt"
  local ours="$binfmt/$entry" hex=${magic//\\x/} other=0
  for f in "$binfmt"/*; do
    case ${f##*/} in register | status | "$entry") continue ;; esac
    grep -q '^enabled' "$f" 2>/dev/null && grep -q "^magic $hex" "$f" 2>/dev/null &&
      [ "$f" -nt "$ours" ] && other=1
  done
  if [ -f "$ours" ] && grep -q "^interpreter $qemu\$" "$ours" && grep -q '^enabled' "$ours" &&
     [ "$other" = 0 ]; then
    return 0
  fi
  [ -f "$ours" ] && echo -1 > "$ours"
  printf ':%s:M::%s:%s:%s:PF' "$entry" "$magic" "$mask" "$qemu" > "$binfmt/register"
  say "binfmt entry $entry -> $qemu"
}

# Runs a command in the i386 root, in a mount namespace of its own: the bind mounts vanish
# with its last process, whatever happens to it.
in_root() {
  local dir=$1
  shift
  unshare -m --propagation private -- bash -c '
    d=$1; shift
    mount -t proc proc "$d/proc" && mount --rbind /sys "$d/sys" && mount --rbind /dev "$d/dev" &&
      exec chroot "$d" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@"' in_root "$dir" "$@"
}

make_root() {
  [ -f "$root/.lumox-ready" ] && return 0
  local part=$home/root.partial started=$SECONDS
  rm -rf "$part"
  say "debootstrap $suite i386 (minbase) into $part"
  # Its own mounts of proc and sys stay in a private namespace too.
  unshare -m --propagation private -- debootstrap --arch=i386 --variant=minbase "$suite" "$part" \
    "$mirror" > "$home/debootstrap.log" 2>&1 || {
    tail -n 30 "$home/debootstrap.log" "$part/debootstrap/debootstrap.log" 2>/dev/null
    return 1
  }
  say "debootstrap took $((SECONDS - started)) s"
  {
    echo "deb $mirror $suite main"
    echo "deb $mirror $suite-updates main"
    [ -n "$security" ] && echo "deb $security $suite-security main"
  } > "$part/etc/apt/sources.list"
  cp /etc/resolv.conf "$part/etc/resolv.conf" 2>/dev/null || true
  # A root that is only ever made whole or made again needs no fsync per unpacked file.
  echo force-unsafe-io > "$part/etc/dpkg/dpkg.cfg.d/lumox-unsafe-io"
  started=$SECONDS
  in_root "$part" sh -ec "
    apt-get -qq update
    apt-get -qq install -y --no-install-recommends ${packages[*]} >/dev/null
    localedef -i ja_JP -c -f UTF-8 -A /usr/share/locale/locale.alias ja_JP.UTF-8
    apt-get clean
    rm -rf /var/lib/apt/lists/*"
  say "Wine and its packages installed in $((SECONDS - started)) s"
  touch "$part/.lumox-ready"
  mv "$part" "$root"
}

# What the tests need of the root beyond its packages: "localhost" is a name the test
# programs connect to, and a minimal root has no hosts file.
configure_root() {
  grep -qs '^127\.0\.0\.1[[:space:]].*\blocalhost\b' "$root/etc/hosts" ||
    printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >> "$root/etc/hosts"
}

[ "$(id -u)" = 0 ] || { say "needs root"; exit 1; }
mkdir -p "$home"
exec 9> "$home/.lock"
flock 9
read -r mirror security < <(read_mirrors)
if [ ! -f "$root/.lumox-ready" ] || [ ! -x "$qemu" ]; then
  [ -n "$mirror" ] || { say "no Debian mirror in this machine's apt sources"; exit 1; }
fi
make_emulator
register_binfmt
make_root
configure_root
in_root "$root" wine --version > /dev/null || { say "Wine does not start in $root"; exit 1; }
say "ready: $root"
