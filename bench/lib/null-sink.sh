# Sourced by the bench scripts. With HOME and XDG_RUNTIME_DIR pointing at a
# throw-away folder, starts a private PulseAudio daemon whose default sink is
# a null sink and makes it ALSA's default device. Stop it with stop_null_sink.
start_null_sink() {
  pulseaudio -D -n --exit-idle-time=-1 --system=false --use-pid-file=yes \
    --load="module-native-protocol-unix" \
    --load="module-null-sink sink_name=cap rate=8000 channels=1 format=s16le"
  for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  pactl set-default-sink cap
  cat > "$HOME/.asoundrc" <<EOF
pcm.!default { type pulse }
ctl.!default { type pulse }
EOF
}

stop_null_sink() {
  if [ -f "$XDG_RUNTIME_DIR/pulse/pid" ]; then
    kill "$(cat "$XDG_RUNTIME_DIR/pulse/pid")" 2>/dev/null || true
  fi
}
