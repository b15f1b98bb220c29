# Installs the Debian packages a command needs, only those missing.
# Usage: . scripts/lib/deps.sh; need_packages pkg...
need_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# What building and testing the Linux program needs: tinyproxy is the proxy
# the proxy tests run on loopback (never its system service), aria2 one of
# the tools the WAN benchmark measures the program against.
LINUX_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libcurl4-openssl-dev libssl-dev
    libfltk1.3-dev nginx-light python3 xvfb xauth xdotool imagemagick x11-utils fonts-wine fonts-urw-base35
    fonts-dejavu-core ca-certificates openssl clang libclang-rt-14-dev libbenchmark-dev tinyproxy aria2)
# What cross-building and testing the Windows program needs.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    mingw-w64-tools wine wine64)
