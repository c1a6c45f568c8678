#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs to build, run and test: the
# compiler and build tools; Qt 6 with its platform plugins (offscreen runs without a
# display); DCMTK, whose storescu/storescp/echoscu/dcmdump serve as test peers;
# SQLite with its shell (tests read the files with it); libzip; GoogleTest; socat
# for pseudo-terminal serial lines; a font for the logo and the windows, and Liberation
# Serif, metric-compatible with Times New Roman, for the projection buttons; libcap2-bin
# for setcap, which lets Recvora bind its default port 105; dicom3tools' dciodvfy,
# which checks converted images and exported DICOMDIR media; unzip and zip for the
# export archives, zlib for deflating them; OpenJPEG, which decodes JPEG 2000 images for
# showing and exporting, and GDCM's tools, whose gdcmconv writes such images for the tests;
# strace, with which the durability tests see that a file is synced before it is answered;
# pydicom, with which the dose report tests walk the report's content tree;
# for the Debian package: dpkg-dev (dpkg-shlibdeps names the libraries it depends on) and
# file, which cpack uses for it, lintian to check it, and systemd, whose systemd-analyze
# verifies the service units (no running systemd needed).
set -euo pipefail
PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-serialport-dev libqt6serialport6 qt6-qpa-plugins
  libdcmtk-dev dcmtk libsqlite3-dev sqlite3 libzip-dev
  libgtest-dev googletest socat procps libcap2-bin
  libgl-dev fonts-dejavu-core fonts-liberation dicom3tools
  unzip zip zlib1g-dev libopenjp2-7-dev libgdcm-tools strace python3-pydicom
  dpkg-dev file lintian systemd
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${missing[@]}"
fi
