# shellcheck shell=bash
# Shared by scripts/deps.sh and scripts/emu/enable: how 32-bit programs execute on this machine,
# and qemu-i386's registration with binfmt_misc.

# A static i386 program of 119 bytes: exits 0 when uname() says x86_64 (the kernel runs it) and
# 1 otherwise (qemu-i386 answers i686). Written as bytes, so that no 32-bit tool chain is needed.
emu_probe_bytes='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00'
emu_probe_bytes+='\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'
emu_probe_bytes+='\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x77\x00\x00\x00'
emu_probe_bytes+='\x77\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\x81\xec\x90\x01\x00\x00\xb8\x7a\x00\x00\x00'
emu_probe_bytes+='\x89\xe3\xcd\x80\x31\xdb\x80\xbc\x24\x04\x01\x00\x00\x78\x74\x01\x43\xb8\x01\x00\x00\x00\xcd\x80'

# emu_probe DIR: prints "native" (the kernel executes 32-bit programs), "emulated" (binfmt_misc
# hands them to qemu-i386) or "refused" (Exec format error: the kernel runs 64-bit code only).
emu_probe() {
  local dir=$1 status=0
  mkdir -p "$dir"
  printf "$emu_probe_bytes" >"$dir/i386-probe"
  chmod +x "$dir/i386-probe"
  "$dir/i386-probe" 2>/dev/null || status=$?
  case $status in
    0) echo native ;;
    1) echo emulated ;;
    *) echo refused ;;
  esac
}

emu_binfmt=/proc/sys/fs/binfmt_misc
# qemu-i386's usual entry. F opens the interpreter now, so that it also serves chroots and
# namespaces that do not have it.
emu_entry=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
emu_entry+=':\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
emu_entry+=':/usr/bin/qemu-i386-static:F'

# emu_register [SUDO]: registers qemu-i386 in the binfmt_misc this process sees (mounting it when
# needed), replacing an older qemu-i386 entry.
emu_register() {
  local sudo=${1:-}
  if [ ! -e "$emu_binfmt/register" ]; then
    $sudo mount -t binfmt_misc binfmt_misc "$emu_binfmt" || return 1
  fi
  if [ -e "$emu_binfmt/qemu-i386" ]; then
    echo -1 | $sudo tee "$emu_binfmt/qemu-i386" >/dev/null || return 1
  fi
  printf '%s' "$emu_entry" | $sudo tee "$emu_binfmt/register" >/dev/null
}
