#!/bin/sh
# Starts the built program: in a window when there is a display, headless otherwise.
# Arguments go to the program (a book path opens that book).
BIN="${QUILLORA_BIN:-build/app/harbour-quillora}"
if [ -z "$DISPLAY" ] && [ -z "$WAYLAND_DISPLAY" ]; then
    export QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software
    echo "No display: running headless (stop with Ctrl+C)." >&2
fi
exec "$BIN" "$@"
