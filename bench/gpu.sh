#!/usr/bin/env bash
# Runs the GPU benchmarks on a machine with an NVIDIA GPU from what was built
# here; nothing is built there.
#
# Here, after a build:      bench/gpu.sh pack
#   Gathers every benchmark program that needs no image codec (bench_image,
#   on OpenImageIO, measures CPU work and stays here), the SDK library and
#   each shared library they load that a bare machine may lack (Qt, GLEW, GLU,
#   ICU, ...) into .gpu/bundle.tar.xz, and downloads the GL loader packages
#   (glvnd's libEGL, libGL, libOpenGL, ...) into .gpu/debs/. .gpu/ is not
#   tracked; carry it to the GPU machine with the working tree.
#   BUILD_DIR (default build) names the build folder.
# There, from the repository root:   bench/gpu.sh run [--quick]
#   Puts the GL loaders in place when the machine has none, unpacks the bundle
#   into a temporary folder and runs each benchmark on the hardware EGL device,
#   one after the other. The output goes to the terminal and to gpu-bench.log
#   in $OUT when that is set, else in .gpu/results/.
# To try the run step on this machine's software renderer:
#   VARNIK_EGL_DEVICE=software bench/gpu.sh run --quick
set -euo pipefail
cd "$(dirname "$0")/.."
GPU_DIR=.gpu

# Libraries the target machine brings itself: the C and C++ runtimes (an older
# copy would shadow its newer ones) and the GL loaders (from its driver or the
# loader packages).
SYSTEM_LIBS='^(linux-vdso|ld-linux|libc|libm|libdl|librt|libpthread|libgcc_s|libstdc\+\+|libGL|libEGL|libGLX|libOpenGL|libGLdispatch|libGLESv2)\.'
LOADER_DEBS="libegl1 libglvnd0 libopengl0 libgl1 libglx0 libgles2"

pack() {
    local build="${BUILD_DIR:-build}"
    [ -d "$build/bin" ] || { echo "gpu.sh: no $build/bin: build first" >&2; exit 1; }
    local stage
    stage="$(mktemp -d)"
    trap 'rm -rf "$stage"' RETURN
    mkdir -p "$stage/bin" "$stage/lib"
    local programs=()
    for program in "$build"/bin/bench_*; do
        [ -x "$program" ] || continue
        if ldd "$program" | grep -q OpenImageIO; then
            echo "gpu.sh: leaving out $(basename "$program") (needs the image codec)"
            continue
        fi
        programs+=("$program")
        cp "$program" "$stage/bin/"
    done
    [ ${#programs[@]} -gt 0 ] || { echo "gpu.sh: no benchmark programs in $build/bin" >&2; exit 1; }
    # Every library the programs load, resolved here, less what the target brings.
    ldd "${programs[@]}" | awk '/=> \//{print $3}' | sort -u | while read -r lib; do
        if ! basename "$lib" | grep -Eq "$SYSTEM_LIBS"; then
            cp -L "$lib" "$stage/lib/"
        fi
    done
    mkdir -p "$GPU_DIR/debs"
    rm -f "$GPU_DIR/bundle.tar.xz"
    tar -C "$stage" -cJf "$GPU_DIR/bundle.tar.xz" bin lib
    # The loaders for a machine whose image has none (x86-64 packages).
    local lists=/tmp/gpu-sh-apt-lists
    mkdir -p "$lists/partial"
    local apt_opts=(-oAPT::Architecture=amd64 -oAPT::Architectures=amd64 -oDir::State::Lists="$lists")
    if apt-get "${apt_opts[@]}" update -qq && (cd "$GPU_DIR/debs" && apt-get "${apt_opts[@]}" download $LOADER_DEBS); then
        :
    else
        echo "gpu.sh: could not download the GL loader packages; the target must have its own" >&2
    fi
    echo "gpu.sh: packed ${#programs[@]} program(s): $(du -sh "$GPU_DIR" | cut -f1) in $GPU_DIR"
}

run() {
    [ -f "$GPU_DIR/bundle.tar.xz" ] || { echo "gpu.sh: no $GPU_DIR/bundle.tar.xz: run 'bench/gpu.sh pack' here first" >&2; exit 1; }
    # The loaders: only where the machine has none, never over its own.
    if ! ldconfig -p | grep -q 'libEGL.so.1 '; then
        for deb in "$GPU_DIR"/debs/*.deb; do
            [ -f "$deb" ] && dpkg -x "$deb" /
        done
        ldconfig
    fi
    local nvidia_egl=/usr/local/nvidia/share/glvnd/egl_vendor.d/10_nvidia.json
    if [ -z "${__EGL_VENDOR_LIBRARY_FILENAMES:-}" ] && [ -f "$nvidia_egl" ]; then
        export __EGL_VENDOR_LIBRARY_FILENAMES="$nvidia_egl"
    fi
    export VARNIK_EGL_DEVICE="${VARNIK_EGL_DEVICE:-hardware}"
    BUNDLE="$(mktemp -d)"
    trap 'rm -rf "$BUNDLE"' EXIT
    tar -C "$BUNDLE" -xJf "$GPU_DIR/bundle.tar.xz"
    # Searched before the programs' run path, which names this machine's build folder.
    export LD_LIBRARY_PATH="$BUNDLE/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
    local results="${OUT:-$GPU_DIR/results}"
    mkdir -p "$results"
    local log="$results/gpu-bench.log"
    : >"$log"
    command -v nvidia-smi >/dev/null && nvidia-smi --query-gpu=name,driver_version --format=csv,noheader | tee -a "$log"
    local status=0
    for program in "$BUNDLE"/bin/bench_*; do
        echo "== $(basename "$program") $*" | tee -a "$log"
        # A missed target (exit 3) or a failed program does not stop the others.
        "$program" "$@" 2>&1 | tee -a "$log" || status=1
    done
    echo "gpu.sh: log in $log"
    return $status
}

case "${1:-}" in
    pack) pack ;;
    run) shift; run "$@" ;;
    *) echo "usage: bench/gpu.sh pack | run [--quick]" >&2; exit 1 ;;
esac
