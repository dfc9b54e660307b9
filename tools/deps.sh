#!/bin/sh
# Installs the Debian 12 packages the build, the program and the tests need.
set -e
SUDO=
[ "$(id -u)" = 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q \
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev \
  libgtest-dev libgmock-dev libbenchmark-dev \
  libexpat1-dev libosip2-dev libsrtp2-dev libopencore-amrnb-dev portaudio19-dev libasound2-dev libcurl4-openssl-dev \
  libgsm1-dev libopus-dev libspeex-dev \
  sip-tester kamailio baresip espeak-ng sox python3 valgrind \
  qt6-base-dev qt6-webengine-dev qt6-webchannel-dev fonts-wqy-microhei fonts-noto-color-emoji xvfb xauth \
  imagemagick xdotool x11-utils twinkle libxcb1-dev locales
