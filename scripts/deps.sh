# Sourced by scripts/test and scripts/run: installs from Debian's packages whatever is missing.
thg_packages=(
    cmake g++ make pkg-config
    libpugixml-dev libgtest-dev
    qt6-base-dev qt6-translations-l10n libgl-dev libxkbcommon-dev libxcb1-dev libchm-dev fonts-liberation
    python3 python3-dbfread python3-dbf gdal-bin
    clang libclang-rt-14-dev
    xvfb x11-utils xdotool fp-utils
)

thg_install_missing() {
    local missing=()
    local package
    for package in "${thg_packages[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

thg_build() {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build build -j"$(nproc)"
}
