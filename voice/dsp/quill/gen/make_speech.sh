#!/bin/sh
# Synthesises the training speech for quill_gen with espeak-ng and sox (16 kHz mono 16-bit WAVs).
# Usage: make_speech.sh <output folder>
set -e
out=${1:?output folder}
mkdir -p "$out"
n=0
say() {
  voice=$1 speed=$2 pitch=$3 text=$4
  n=$((n + 1))
  espeak-ng -v "$voice" -s "$speed" -p "$pitch" -w "$out/raw.wav" "$text"
  sox -q -D "$out/raw.wav" -r 16000 -c 1 -b 16 "$out/train$n.wav"
}
t1="The quick brown fox jumps over the lazy dog while the farmer watches from the barn."
t2="Please call me back at seven thirty, the meeting moved to the second floor conference room."
t3="She sells sea shells by the sea shore, and the shells she sells are surely sea shells."
t4="A large rainbow appeared after the storm, stretching from the hills to the silver river."
t5="How much wood would a woodchuck chuck if a woodchuck could chuck wood?"
t6="Thirty thousand feathers flew through the frosty air as the children shouted with joy."
t7="Zebras, giraffes and elephants gathered at the watering hole just before sunset."
t8="Judge the value of a voice by the weight of its words, not by its volume or speed."
t9="Six thick thistle sticks. Fresh fried fish. Peter picked a peck of pickled peppers."
t10="Our network quality changes every minute, so the codec must adapt its rate quickly."
say en 160 50 "$t1"
say en-us+f2 150 65 "$t2"
say en-gb-scotland 140 40 "$t3"
say en-029+m3 170 45 "$t4"
say en-gb-x-rp+f3 155 70 "$t5"
say en-us+m7 130 30 "$t6"
say en+f1 175 60 "$t7"
say en-us 145 55 "$t8"
say en-gb-x-rp+m1 165 35 "$t9"
say en-us+f4 150 75 "$t10"
say en+m2 120 40 "$t2 $t7"
say en-us+f3 185 58 "$t3 $t8"
rm -f "$out/raw.wav"
