# Sourced by run.sh and bench.sh: a Linux desktop for Tavimo to connect to. An Xvfb of its
# own (it picks a free display number) with openbox, an xterm and xclock, shared by
# tavimo-host. Needs tavimo_top and a built build/release/host/tavimo-host.

tavimo_remote_pids=()

# tavimo_start_remote_screen WxH FOLDER: a bare Xvfb; sets tavimo_remote_display.
tavimo_start_remote_screen() {
  local size=$1 folder=$2
  rm -f "$folder/remote-display"
  Xvfb -displayfd 5 -screen 0 "${size}x24" -nolisten tcp 5>"$folder/remote-display" >/dev/null 2>&1 &
  tavimo_remote_pids+=($!)
  local i
  for i in $(seq 100); do [ -s "$folder/remote-display" ] && break; sleep 0.1; done
  tavimo_remote_display=":$(cat "$folder/remote-display")"
}

# tavimo_start_host ADDRESS FOLDER [OPTION...]: the host sharing the remote screen, logging
# to FOLDER/host.log; TAVIMO_HOST names another host program than build/release's. Returns
# once it listens, or with its exit status if it ends before. Sets tavimo_host_pid.
tavimo_start_host() {
  local address=$1 folder=$2
  shift 2
  rm -f "$folder/host.log"
  DISPLAY=$tavimo_remote_display "${TAVIMO_HOST:-$tavimo_top/build/release/host/tavimo-host}" \
    --address "$address" --log "$folder/host.log" "$@" &
  tavimo_host_pid=$!
  tavimo_remote_pids+=($tavimo_host_pid)
  local i status=0
  for i in $(seq 100); do
    grep -q '^listening' "$folder/host.log" 2>/dev/null && return 0
    if ! kill -0 "$tavimo_host_pid" 2>/dev/null; then
      wait "$tavimo_host_pid" || status=$?
      return "$status"
    fi
    sleep 0.1
  done
}

# tavimo_start_remote_desktop WxH ADDRESS FOLDER: the terminal starts in FOLDER, the host
# logs to FOLDER/host.log. Sets tavimo_remote_display.
tavimo_start_remote_desktop() {
  local size=$1 address=$2 folder=$3
  local width=${size%x*} height=${size#*x}
  tavimo_start_remote_screen "$size" "$folder"
  DISPLAY=$tavimo_remote_display openbox >/dev/null 2>&1 &
  tavimo_remote_pids+=($!)
  sleep 0.5
  # The terminal takes most of the screen, so a click in the middle of Tavimo lands in it.
  # pointerMode 0: xterm would hide the pointer while keys come, and it is worth seeing.
  local columns=$(( (width - 180) / 10 )) rows=$(( (height - 120) / 20 ))
  (cd "$folder" && DISPLAY=$tavimo_remote_display exec xterm -fa Monospace -fs 12 \
    -geometry "${columns}x${rows}+10+10" -title remote-terminal -xrm 'XTerm*pointerMode: 0' \
    -e bash --norc --noprofile >/dev/null 2>&1) &
  tavimo_remote_pids+=($!)
  DISPLAY=$tavimo_remote_display xclock -update 1 -geometry "150x150+$((width - 164))+$((height - 168))" \
    >/dev/null 2>&1 &
  tavimo_remote_pids+=($!)
  tavimo_start_host "$address" "$folder"
}

# The last started first, so the host goes before its display.
tavimo_stop_remote_desktop() {
  local i
  for (( i=${#tavimo_remote_pids[@]}-1; i>=0; i-- )); do
    kill "${tavimo_remote_pids[i]}" 2>/dev/null && wait "${tavimo_remote_pids[i]}" 2>/dev/null || true
  done
  tavimo_remote_pids=()
}
