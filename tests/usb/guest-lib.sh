# Sourced by the guest's scripts: the virtual encoder made a USB device by
# vardo-usb-gadget ($gadget, controlled through $ctl, loader texts in $texts),
# and the waits for the host to see it.

ms() { local t=${EPOCHREALTIME/[.,]/}; echo $(( t / 1000 )); }
# A sleep without a process of its own: every fork is dear under TCG.
mkfifo /tmp/nap.fifo && exec 9<> /tmp/nap.fifo
nap() { read -rt "$1" -u 9; }
fail() { echo "  $*"; return 1; }

# The hidraw node of interface IF of the device on PORT, once the host has it.
hidraw() {
  local nodes=(/sys/bus/usb/devices/"$1:1.$2"/*/hidraw/hidraw*)
  [ -e "${nodes[0]}" ] && echo "${nodes[0]##*/}"
}

# Waits (up to 15 s) until PORT carries PRODUCT (0902, 0200) with its HID node ready.
await() {
  local port=$1 product=$2 iface=1 i id nodes
  [ "$product" = 0200 ] && iface=0
  for ((i = 0; i < 300; i++)); do
    id=
    [ -r "/sys/bus/usb/devices/$port/idProduct" ] && read -r id < "/sys/bus/usb/devices/$port/idProduct"
    nodes=(/sys/bus/usb/devices/"$port:1.$iface"/*/hidraw/hidraw*)
    [ "$id" = "$product" ] && [ -e "${nodes[0]}" ] && [ -e "/dev/${nodes[0]##*/}" ] && return 0
    nap 0.05
  done
  fail "no $product on port $port"
}

# One line to the gadget's control FIFO; its answer on standard output.
device() {
  local i
  rm -f "$ctl/reply"
  echo "$*" > "$ctl/ctl"
  for ((i = 0; i < 200; i++)); do
    [ -f "$ctl/reply" ] && { echo "$(< "$ctl/reply")"; return 0; }
    nap 0.05
  done
  fail "the gadget did not answer: $*"
}

gadget_pid=
start_gadget() {
  stop_gadget
  "$gadget" --encoders "$1" --control "$ctl" --loader-texts "$texts" >> /tmp/gadget.log 2>&1 &
  gadget_pid=$!
  local t0 p
  t0=$(ms)
  for p in $(seq "$1"); do await "$p-1" 0902 || return 1; done
  echo "encoders ready on the host in $(( $(ms) - t0 )) ms"
}
stop_gadget() {
  [ -n "$gadget_pid" ] || return 0
  kill "$gadget_pid" 2>/dev/null; wait "$gadget_pid" 2>/dev/null
  gadget_pid=
}
