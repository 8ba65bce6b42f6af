#!/usr/bin/env bash
# Fails when a source file under src/ includes a header from a folder its layer may not use.
# Each folder may use itself and the folders listed for it; every arrow points down.
set -euo pipefail
cd "$(dirname "$0")/../src"

declare -A allowed=(
    [base]=""
    [platform]="base"
    [core]="platform base"
    [memory]="platform base"
    [sim]="memory platform base"
    [program]="core memory platform base"
    [plc]="program core memory sim platform base"
    [s7]="plc program core memory platform base"
    [s5]="plc program core memory platform base"
    [transport]="s7 s5 plc program core memory platform base"
    [http]="s7 s5 plc program core memory platform base"
    [app]="http transport s7 s5 plc program sim core memory platform base"
)

status=0
for folder in *; do
    [ -d "$folder" ] || continue
    if [[ ! -v allowed[$folder] ]]; then
        echo "check_layers: src/$folder has no place in the layering; add it to scripts/check_layers.sh"
        status=1
        continue
    fi
    while IFS=: read -r file line text; do
        used=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]+"([^/"]+)\/.*$/\1/' <<<"$text")
        if [ "$used" != "$folder" ] && [[ " ${allowed[$folder]} " != *" $used "* ]]; then
            echo "src/$file:$line: $folder may not include from $used ($text)"
            status=1
        fi
    done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[^/"]+/' "$folder" || true)
done
if [ "$status" -eq 0 ]; then
    echo "check_layers: every include points down"
fi
exit "$status"
