#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (as root). Idempotent:
# only missing packages are fetched.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev libblkid-dev
  # disk images: EWF (.E01) input, MD5 checks
  libewf-dev libssl-dev
  # carved photos: EXIF (libexif; exiv2 for raw, TIFF and HEIF pictures) and decode checks (libjpeg-turbo);
  # ImageMagick and exiftool for the tests
  libexif-dev libexiv2-dev libturbojpeg0-dev imagemagick libimage-exiftool-perl
  # real file systems and independent readers for the integration tests
  dosfstools mtools ntfs-3g sleuthkit fdisk e2fsprogs attr testdisk exfatprogs exfat-fuse fuse3
  # GPT disks for the partition tests (sgdisk), a btrfs volume for the same-disk check, and
  # video and audio files for the carving tests
  gdisk btrfs-progs ffmpeg
  # EWF images for the tests, GNU ddrescue as a peer for imaging maps, device-mapper error targets,
  # libfuse3 for the test file system whose reads fail or stall (failing loop devices without device-mapper)
  ewf-tools gddrescue dmsetup libfuse3-dev
  # the ext4 peer the EXT tests and benchmark compare with (and bc for the benchmark script)
  ext4magic bc
  # demo pictures
  libjpeg-turbo-progs
  # desktop application: Qt Widgets, image readers (TIFF, TGA, WBMP, ...), a font, Xvfb for screenshots
  qt6-base-dev qt6-image-formats-plugins fonts-dejavu-core xvfb xauth
  # Windows cross-build (MinGW-w64, posix threads), GoogleTest sources for it, wine to run its tests
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest wine64 wine
  # screenshots: lossless recompression (ImageMagick, above, reduces the colours)
  optipng
  # packaging: manual pages from --help, the .deb's checks, desktop and AppStream validators
  help2man lintian desktop-file-utils appstream man-db
  # the package installed into a freshly bootstrapped Debian 12 root
  debootstrap
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
