"""The packages the build and the peers need, and the build of vaultcat,
the cache generator and the floor program."""

import os
import shutil
import subprocess
import sys

from .common import log

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# What the build and the peers need, as Debian packages.
PACKAGES = ["cmake", "g++", "ninja-build", "libgtest-dev", "libgmock-dev", "liburing-dev",
            "coreutils", "tar", "unzip", "time", "fuse3", "squashfuse", "fuse-zip",
            "squashfs-tools"]


def ensure_packages():
    """Installs the packages above that are missing, where apt-get can."""
    if shutil.which("dpkg-query") is None:
        return
    missing = []
    for p in PACKAGES:
        r = subprocess.run(["dpkg-query", "-W", "-f=${Status}", p],
                           capture_output=True, text=True)
        if "install ok installed" not in r.stdout:
            missing.append(p)
    if not missing:
        return
    if os.geteuid() != 0 or shutil.which("apt-get") is None:
        sys.exit("bench/run: please install " + " ".join(missing))
    log("installing missing packages: " + " ".join(missing))
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update", "-qq"], check=True, env=env)
    subprocess.run(["apt-get", "install", "-y", "-qq"] + missing, check=True, env=env)


def read_cmake_cache(build_dir):
    values = {}
    with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
        for line in f:
            key, equals, value = line.rstrip("\n").partition("=")
            if equals and not line.startswith(("#", "//")):
                values[key.partition(":")[0]] = value
    return values


def cmake_true(value):
    value = value.upper()
    return value not in ("", "0", "OFF", "NO", "N", "FALSE", "IGNORE") and not value.endswith("NOTFOUND")


def configure(build_dir):
    """Configures a Release build in `build_dir` where there is none yet.
    Returns its CMake cache, which must have the tests on: the cache
    generator is built with them."""
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        log(f"configuring a Release build in {build_dir}")
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        subprocess.run(["cmake", "-S", REPO, "-B", build_dir, *generator,
                        "-DCMAKE_BUILD_TYPE=Release", "-DVAULTCAT_BUILD_TESTS=ON"],
                       check=True, stdout=subprocess.DEVNULL)
    cache = read_cmake_cache(build_dir)
    if not cmake_true(cache.get("VAULTCAT_BUILD_TESTS", "ON")):
        sys.exit(f"bench/run: {build_dir} was configured with VAULTCAT_BUILD_TESTS=OFF, "
                 "so it has no cache generator; give another build, or none")
    return cache


def build_targets(build_dir, config_options, *targets):
    subprocess.run(["cmake", "--build", build_dir, "-j2", *config_options,
                    "--target", *targets], check=True, stdout=subprocess.DEVNULL)


def build(build_dir):
    """Builds vaultcat, the cache generator and, where liburing was found,
    the floor program: in an existing build as it is configured (any
    generator, any build type), else in a new Release build. Returns the
    three programs (the floor None where it is not built), what build it is,
    and its source folder."""
    cache = configure(build_dir)
    # A multi-config generator keeps each configuration in a folder of its own.
    multi = bool(cache.get("CMAKE_CONFIGURATION_TYPES"))
    config = "Release" if multi else ""
    config_options = ["--config", config] if multi else []
    build_type = config or cache.get("CMAKE_BUILD_TYPE") or "no build type"
    log(f"building vaultcat and make_bench_caches in {build_dir}")
    build_targets(build_dir, config_options, "vaultcat", "make_bench_caches")
    # Read again: that build configured anew what changed since.
    cache = read_cmake_cache(build_dir)
    floor = None
    if all(cmake_true(cache.get(k, "")) for k in ("VAULTCAT_URING_INCLUDE",
                                                  "VAULTCAT_URING_LIBRARY")):
        build_targets(build_dir, config_options, "floor_copy")
        floor = os.path.join(build_dir, "bench", config, "floor_copy")
    return (os.path.realpath(os.path.join(build_dir, config, "vaultcat")),
            os.path.join(build_dir, "bench", config, "make_bench_caches"), floor,
            describe_build(build_dir, build_type, cache), cache.get("CMAKE_HOME_DIRECTORY", REPO))


def describe_build(build_dir, build_type, cache):
    """What build it is, for the table; with a warning where its times are
    not those of a release."""
    flags = [f for f in ("VAULTCAT_SANITIZE", "VAULTCAT_FUZZ") if cmake_true(cache.get(f, "OFF"))]
    description = f"{build_type}, {cache.get('CMAKE_GENERATOR', 'unknown generator')}"
    description += "".join(f", {f}=ON" for f in flags)
    if build_type not in ("Release", "RelWithDebInfo", "MinSizeRel") or flags:
        log(f"warning: {build_dir} is not an optimised plain build ({description}); "
            "its times are not those of a release")
    return description
