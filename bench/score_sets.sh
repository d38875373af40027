#!/usr/bin/env bash
# The grids the candidate score and the blind estimate are judged on (calibrate_score --families),
# computed and saved in OUT_DIR, then reported per group with the current weights:
#   fit      sets A to G of scikit-image's photographs, trajectory shakes (63 grids: the sets the
#            score's later constants were chosen on)
#   held     27 grids of other photographs and shake models, held out from the weights' fit
#   opencv   54 grids of twelve plus six of OpenCV's samples nothing was tuned on (the figure to
#            trust for photographs not seen)
#   further  36 grids of six more photographs, first used to check the edge noise of a grid's
#            larger rows (CandidateScore, kWideNoiseWeight): nothing was tuned on them before
# The photographs come from Debian's python3-skimage and opencv-doc (apt-get install them); two
# held-out ones are made at half size, averaged in linear light. The further ones come from
# python3-sklearn, python3-scipy, python3-matplotlib and python3-pywt, copied into OUT_DIR. Each grid has the window's 30
# rows (STEPS=N in the environment for N rows, STEPS=0 for rows up to a pixel beyond one and a
# half times the true radius, as the older figures): about 3.5 minutes a set of three photographs
# on two cores.
#
#   bench/score_sets.sh [BIN_DIR] OUT_DIR [fit] [held] [opencv] [further]
# (BIN_DIR: build/bin by default; the first three groups when none is named)
set -euo pipefail
bin=build/bin
if [ $# -ge 2 ] && [ -x "$1/calibrate_score" ]; then
  bin=$1
  shift
fi
[ $# -ge 1 ] || { echo "usage: $0 [BIN_DIR] OUT_DIR [fit] [held] [opencv] [further]" >&2; exit 2; }
out=$1
shift
groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(fit held opencv)
skimage=/usr/lib/python3/dist-packages/skimage/data
opencv=/usr/share/doc/opencv-doc/examples/data
for dir in "$skimage" "$opencv"; do
  [ -d "$dir" ] || { echo "$dir is missing: apt-get install python3-skimage opencv-doc" >&2; exit 1; }
done
mkdir -p "$out"
out=$(cd "$out" && pwd)

# NAME DATA_DIR PHOTOS SEED [MODEL]: one set, saved once (delete OUT_DIR/NAME.sav to redo it).
run() {
  local name=$1 data=$2 photos=$3 seed=$4 model=${5:-}
  [ -s "$out/$name.sav" ] && return
  echo "set $name: $photos --seed $seed $model" >&2
  # shellcheck disable=SC2086
  "$bin/calibrate_score" "$data" --families "$photos" --seed "$seed" $model --no-fit --steps "${STEPS:-30}" \
    --save "$out/$name.sav.part" >"$out/$name.txt"
  mv "$out/$name.sav.part" "$out/$name.sav"
}

report() {
  local title=$1
  shift
  local loads=()
  for name in "$@"; do loads+=(--load "$out/$name.sav"); done
  local text
  text=$("$bin/calibrate_score" --no-fit "${loads[@]}")
  echo "== $title"
  sed -n '/^current weights:/,/^fitted weights:/p' <<<"$text" | sed '$d'
  grep '^within 1 dB' <<<"$text" | sed -E 's/, fitted [^;]*;/;/; s/ and [0-9]+$//'
}

for group in "${groups[@]}"; do
  case $group in
    fit)
      run A "$skimage" astronaut.png,coffee.png,rocket.jpg 1
      run B "$skimage" chelsea.png,motorcycle_left.png,gravel.png 11
      run C "$skimage" brick.png,grass.png,motorcycle_right.png 12
      run D "$skimage" hubble_deep_field.jpg,ihc.png,moon.png 21
      run E "$skimage" coins.png,page.png,retina.jpg 31
      run F "$skimage" camera.png,text.png,cell.png 41
      run G "$skimage" astronaut.png,coffee.png,chelsea.png 51
      report "fit: sets A to G" A B C D E F G
      ;;
    held)
      for photo in retina.jpg motorcycle_left.png; do
        half=$out/half_${photo%.*}.png
        [ -s "$half" ] || /usr/bin/python3 - "$skimage/$photo" "$half" <<'EOF'
import sys
import numpy as np
from skimage import io
rgb = io.imread(sys.argv[1])[..., :3] / 255.0
lin = np.where(rgb <= 0.04045, rgb / 12.92, ((rgb + 0.055) / 1.055) ** 2.4)
h, w = lin.shape[0] // 2 * 2, lin.shape[1] // 2 * 2
lin = lin[:h, :w]
lin = (lin[0::2, 0::2] + lin[1::2, 0::2] + lin[0::2, 1::2] + lin[1::2, 1::2]) / 4
enc = np.where(lin <= 0.0031308, lin * 12.92, 1.055 * lin ** (1 / 2.4) - 0.055)
io.imsave(sys.argv[2], np.clip(np.round(enc * 255), 0, 255).astype(np.uint8))
EOF
      done
      others="$opencv/board.jpg,$out/half_retina.png,$out/half_motorcycle_left.png"
      run h "$skimage" microaneurysms.png,clock_motion.png,phantom.png 71 --bezier
      run b "$skimage" "$others" 97 --bezier
      run n "$skimage" "$others" 83 --spline
      report "held out: 27 grids" h b n
      ;;
    opencv)
      run H "$opencv" fruits.jpg,building.jpg,baboon.jpg 61
      run K "$opencv" leuvenA.jpg,aero3.jpg,Blender_Suzanne1.jpg 67
      run I "$opencv" messi5.jpg,starry_night.jpg,home.jpg 63 --bezier
      run J "$opencv" aloeL.jpg,butterfly.jpg,graf1.png 65 --spline
      run L "$opencv" apple.jpg,orange.jpg,smarties.png 71
      run M "$opencv" basketball1.png,chicky_512.png,ela_original.jpg 73
      report "OpenCV's samples: 54 grids never tuned on" H K I J L M
      report "OpenCV's samples, the trajectory model's sets" H K L M
      ;;
    further)
      further=$out/further
      mkdir -p "$further"
      [ -s "$further/face.png" ] || /usr/bin/python3 - "$further" <<'EOF'
import bz2, pickle, shutil, sys
import numpy as np
from skimage import io
out = sys.argv[1]
packages = '/usr/lib/python3/dist-packages'
for name in ('china.jpg', 'flower.jpg'):
    shutil.copy(f'{packages}/sklearn/datasets/images/{name}', out)
shutil.copy('/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg', out)
raw = bz2.decompress(open(f'{packages}/scipy/misc/face.dat', 'rb').read())
io.imsave(f'{out}/face.png', np.frombuffer(raw, np.uint8).reshape(768, 1024, 3))
ascent = np.asarray(pickle.load(open(f'{packages}/scipy/misc/ascent.dat', 'rb')))
io.imsave(f'{out}/ascent.png', np.clip(ascent, 0, 255).astype(np.uint8))
io.imsave(f'{out}/aero_pywt.png', np.load(f'{packages}/pywt/data/aero.npz')['data'].astype(np.uint8))
EOF
      run P "$further" china.jpg,face.png,grace_hopper.jpg 201
      run Q "$further" flower.jpg,ascent.png,aero_pywt.png 203 --bezier
      run R "$further" china.jpg,flower.jpg,face.png 207 --spline
      run S "$further" grace_hopper.jpg,ascent.png,aero_pywt.png 211
      report "further photographs: 36 grids" P Q R S
      ;;
    *)
      echo "unknown group $group (fit, held, opencv, further)" >&2
      exit 2
      ;;
  esac
done
