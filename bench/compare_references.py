#!/usr/bin/python3
"""Side-by-side timings of velkaro-cli against OpenCV and scikit-image on one photograph.

    /usr/bin/python3 bench/compare_references.py --cli build/bin/velkaro-cli --image big.jpg

The photograph should be a 4000 x 3000 JPEG (for example
`convert photo.jpg -resize 4000x3000! big.jpg`). Every measurement but scikit-image's
Richardson-Lucy runs --repeat times and the best is kept; velkaro-cli runs as a user would, `deblur IMAGE OUT.png --preset P --step S`. The
rows compare:

  FR (decode, pass-through, PNG)  with OpenCV's JPEG decode plus PNG write at level 3
  WI2 - FR                        with scikit-image `wiener` on the three channels
  RL20 - FR                       with scikit-image `richardson_lucy`, 20 iterations, three channels
  USM3 - FR                       with a fixed budget of 0.5 s

Wall-clock seconds are the figures compared; processor seconds (all threads, children included)
are printed beside them, since a busy machine stretches the wall clock of both sides unevenly.

Needs python3-opencv and python3-skimage (Debian packages); the build does not.
"""

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np
from skimage import restoration


def disc_kernel(radius):
    """The blur disc of the given radius, anti-aliased by supersampling, summing to one."""
    half = int(np.ceil(radius - 0.5))
    size = 2 * half + 1
    sub = 16
    offsets = (np.arange(size * sub) + 0.5) / sub - half - 0.5
    yy, xx = np.meshgrid(offsets, offsets, indexing="ij")
    inside = (xx * xx + yy * yy <= radius * radius).astype(np.float64)
    kernel = inside.reshape(size, sub, size, sub).mean(axis=(1, 3))
    return kernel / kernel.sum()


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def best_of(repeat, run):
    """Runs `run` repeat times; returns the best (wall, processor) seconds."""
    best_wall, best_cpu = float("inf"), float("inf")
    for _ in range(repeat):
        cpu0 = time.process_time() + children_cpu()
        wall0 = time.perf_counter()
        run()
        wall = time.perf_counter() - wall0
        cpu = time.process_time() + children_cpu() - cpu0
        best_wall = min(best_wall, wall)
        best_cpu = min(best_cpu, cpu)
    return best_wall, best_cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--cli", default="build/bin/velkaro-cli")
    parser.add_argument("--image", required=True, help="a 4000 x 3000 JPEG")
    parser.add_argument("--step", type=int, default=6, help="radius step (radius = step / 2)")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--skip-rl", action="store_true", help="leave out the RL20 row")
    args = parser.parse_args()

    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    work = tempfile.mkdtemp(prefix="velkaro-compare-")
    radius = args.step * 0.5

    def cli(preset):
        out = os.path.join(work, preset + ".png")

        def run():
            subprocess.run([args.cli, "deblur", args.image, out, "--preset", preset, "--step",
                            str(args.step)], check=True, env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)

        return best_of(args.repeat, run)

    def opencv():
        image = cv2.imread(args.image, cv2.IMREAD_COLOR)
        cv2.imwrite(os.path.join(work, "opencv.png"), image, [cv2.IMWRITE_PNG_COMPRESSION, 3])

    photo = cv2.imread(args.image, cv2.IMREAD_COLOR)
    print(f"photograph {args.image}: {photo.shape[1]} x {photo.shape[0]}, step {args.step} "
          f"(radius {radius}), best of {args.repeat}", flush=True)
    channels = [photo[:, :, c].astype(np.float64) / 255.0 for c in range(3)]
    psf = disc_kernel(radius)

    def wiener():
        for channel in channels:
            restoration.wiener(channel, psf, 0.01)

    def richardson_lucy():
        for channel in channels:
            restoration.richardson_lucy(channel, psf, num_iter=20)

    rows = []
    fr = cli("FR")
    ocv = best_of(args.repeat, opencv)
    rows.append(("FR full deblur / OpenCV decode + PNG-3 write", fr, ocv, "<= 1.0"))
    wi2 = cli("WI2")
    sk_wiener = best_of(args.repeat, wiener)
    rows.append(("WI2 - FR / scikit-image wiener (3 channels)",
                 (wi2[0] - fr[0], wi2[1] - fr[1]), sk_wiener, "<= 3.0"))
    if not args.skip_rl:
        rl20 = cli("RL20")
        # scikit-image's Richardson-Lucy takes about a minute: one run.
        sk_rl = best_of(1, richardson_lucy)
        rows.append(("RL20 - FR / scikit-image richardson_lucy 20 (3 channels)",
                     (rl20[0] - fr[0], rl20[1] - fr[1]), sk_rl, "<= 0.33"))
    usm3 = cli("USM3")
    rows.append(("USM3 - FR / 0.5 s", (usm3[0] - fr[0], usm3[1] - fr[1]), (0.5, 0.5), "<= 1.0"))

    print(f"{'comparison':58} {'ours s':>8} {'theirs s':>9} {'ratio':>6} {'target':>8}"
          f"   {'ours cpu':>8} {'theirs cpu':>10}")
    for name, ours, theirs, target in rows:
        ratio = ours[0] / theirs[0]
        print(f"{name:58} {ours[0]:8.2f} {theirs[0]:9.2f} {ratio:6.2f} {target:>8}"
              f"   {ours[1]:8.2f} {theirs[1]:10.2f}")
    print(f"(absolute: FR {fr[0]:.2f} s, WI2 {wi2[0]:.2f} s, USM3 {usm3[0]:.2f} s"
          + ("" if args.skip_rl else f", RL20 {rl20[0]:.2f} s") + ")")
    return 0


if __name__ == "__main__":
    sys.exit(main())
