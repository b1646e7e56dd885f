#!/bin/bash
# Screenshots of the share dialog in several UI languages and of the tray's device menu, into
# docs/screenshots/.
# Builds the preview helper in build/screenshots and runs it under Wine and Xvfb; installs
# ImageMagick and a CJK font when missing. Not part of the tests.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build/screenshots

# Inside Xvfb and Wine: the tray menu.
if [ "${1:-}" = "--shoot-tray" ]; then
    /usr/lib/wine/wine64 reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 \
        /f >/dev/null 2>&1
    LC_ALL=en_US.UTF-8 /usr/lib/wine/wine64 "$build/kv_tray_menu_preview.exe" 4000 &
    helper=$!
    sleep 3
    import -window root /tmp/kv_tray_menu.png
    wait "$helper" || true
    convert /tmp/kv_tray_menu.png -trim +repage docs/screenshots/tray_menu.png
    echo docs/screenshots/tray_menu.png
    exit 0
fi

# Inside Xvfb and Wine: one language, at 100 % or at the scale given (150: 144 dpi).
if [ "${1:-}" = "--shoot" ]; then
    name=$2 language=$3 locale=$4 scale=${5:-100}
    /usr/lib/wine/wine64 reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD \
        /d $((96 * scale / 100)) /f >/dev/null 2>&1
    LC_ALL=$locale /usr/lib/wine/wine64 "$build/kv_share_dialog_preview.exe" "$language" 4000 &
    helper=$!
    sleep 3
    import -window root "/tmp/kv_share_dialog_$name.png"
    wait "$helper" || true
    convert "/tmp/kv_share_dialog_$name.png" -trim +repage "docs/screenshots/share_dialog_$name.png"
    echo "docs/screenshots/share_dialog_$name.png"
    exit 0
fi

source scripts/setup.sh
kv_require_packages "${KV_PACKAGES[@]}" imagemagick fonts-wqy-microhei

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_PREVIEW=ON >/dev/null
cmake --build "$build" --target kv_share_dialog_preview kv_tray_menu_preview -j2
mkdir -p docs/screenshots

# name, language id, Unix locale (Wine takes the user's language from it)
languages=(
    "english 0409 en_US.UTF-8"
    "german 0407 de_DE.UTF-8"
    "french 040c fr_FR.UTF-8"
    "japanese 0411 ja_JP.UTF-8"
    "korean 0412 ko_KR.UTF-8"
    "chinese_traditional 0404 zh_TW.UTF-8"
)

for entry in "${languages[@]}"; do
    # shellcheck disable=SC2086
    xvfb-run -a -s "-screen 0 1024x768x24" scripts/wine-env.sh "$build" "$0" --shoot $entry
done
xvfb-run -a -s "-screen 0 1024x768x24" scripts/wine-env.sh "$build" "$0" --shoot english_150 0409 \
    en_US.UTF-8 150
xvfb-run -a -s "-screen 0 1024x768x24" scripts/wine-env.sh "$build" "$0" --shoot-tray
