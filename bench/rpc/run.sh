#!/usr/bin/env bash
# Runs bench_rpc against the real service: for each mode (library: the test key library;
# flash: a key drive E: made from a FAT32 image) a temporary prefix is set up, the service is
# installed and started on a free loopback port, the client runs, and the service is stopped
# and removed again, also when something fails. Mode runtime measures the RPC runtime alone
# in the client's process (no service, no key layer): the ceiling of the other two.
#   bench/rpc/run.sh [BIN_DIR] [bench_rpc options...]     BIN_DIR defaults to build/release/bin
# BENCH_RPC_MODES="runtime library flash" picks the modes.
set -uo pipefail
bin=$(cd "${1:-build/release/bin}" && pwd) || exit 1
shift || true
for prog in ZemirRpcService zemir-reg bench_rpc; do
  [ -x "$bin/$prog" ] || { echo "run.sh: $bin/$prog is missing" >&2; exit 1; }
done

prefix=""
cleanup() {
  [ -n "$prefix" ] || return 0
  "$bin/ZemirRpcService" -e >/dev/null 2>&1
  "$bin/ZemirRpcService" -u >/dev/null 2>&1
  rm -rf "$prefix"
  prefix=""
}
trap cleanup EXIT
trap 'exit 130' INT TERM

reg() { "$bin/zemir-reg" add "$1" /v "$2" /t "$3" /d "$4" /f >/dev/null; }
product='HKLM\SOFTWARE\Zemir'
dos='HKLM\SYSTEM\DosDevices'
status=0
for mode in ${BENCH_RPC_MODES:-runtime library flash}; do
  if [ "$mode" = runtime ]; then
    "$bin/bench_rpc" --runtime "$@" || status=1
    echo
    continue
  fi
  prefix=$(mktemp -d "${TMPDIR:-/tmp}/zemir_bench_rpc.XXXXXX")
  export ZEMIR_PREFIX=$prefix ZEMIR_NO_HOST_MEDIA=1 ZEMIR_SESSION_DRYRUN=$prefix/session_actions.txt
  port=$("$bin/bench_rpc" --free-port)
  reg "$product" RpcEndpoint REG_SZ "$port"
  reg "$product" RpcAddress REG_SZ 127.0.0.1
  case $mode in
    library)
      mkdir -p "$prefix/token" && touch "$prefix/token/present"
      reg "$product" USBKeyDllName REG_SZ zemir_testkey.dll
      reg "$product" TestKeyFolder REG_SZ "$prefix/token"
      args=(--reader "Zemir Test Reader 0" --slot 3)
      ;;
    flash)
      mkdir -p "$prefix/stick_E"
      mkfs.vfat -C -F 32 -i 1A2B3C4D "$prefix/stick_E.img" 34000 >/dev/null
      reg "$dos" 'E:' REG_SZ "$prefix/stick_E"
      reg "$dos" 'E:Image' REG_SZ "$prefix/stick_E.img"
      reg "$dos" 'E:Type' REG_DWORD 2
      reg "$dos" 'E:Interface' REG_SZ '\\?\usbstor#disk&ven_zemir&prod_flash_disk&rev_1.00#0019e06b9c7aa9b0e8c00013&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}'
      args=(--reader 'E:\' --slot 1)
      ;;
    *)
      echo "run.sh: unknown mode $mode" >&2
      status=1
      cleanup
      continue
      ;;
  esac
  # The service's switches exit with 1 when done, 0 when they failed.
  "$bin/ZemirRpcService" -i >/dev/null; installed=$?
  "$bin/ZemirRpcService" -s >/dev/null; started=$?
  if [ $installed -eq 1 ] && [ $started -eq 1 ]; then
    "$bin/bench_rpc" --port "$port" --mode "$mode" "${args[@]}" "$@" || status=1
  else
    echo "run.sh: the service does not start in $prefix" >&2
    cat "$prefix/services/Zemir RPC.out" >&2 2>/dev/null
    status=1
  fi
  cleanup
  echo
done
exit $status
