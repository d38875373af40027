#pragma once

// Helpers shared by the deblurring tests: the sample photographs, synthetic blurs of them and a
// synthetic test picture, the child processes (the FFT helper).

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "Convolve.h"
#include "Filter.h"
#include "Image.h"
#include "ImageIO.h"
#include "KernelFile.h"

namespace deblurtest {

using velkaro::CImage;

inline CImage samplePhoto(const char* name) {
    velkaro::ImageRef image = velkaro::ImageIO::sharedInstance().readFromFile(
        std::string(VELKARO_TEST_DATA_DIR) + "/" + name);
    EXPECT_TRUE(image) << name;
    return image ? CImage(image) : CImage(8, 8);
}

// A kernel picture of the test data, null (and a failure) when it cannot be read.
inline velkaro::KernelImageRef sampleKernel(const char* name) {
    std::string reason;
    velkaro::KernelImageRef kernel =
        velkaro::ReadKernelFile(std::string(VELKARO_TEST_DATA_DIR) + "/" + name, reason);
    EXPECT_TRUE(kernel) << name << ": " << reason;
    return kernel;
}

// The blur kernel of `radius` and `kernel` (an angle, or a kernel image), n × n, row after row.
inline std::vector<double> kernelOf(double radius, const velkaro::BlurKernel& kernel, int& n) {
    n = velkaro::SizeForFilter(radius, kernel);
    velkaro::Matrix f(n, n);
    velkaro::GenerateFilter(f, radius, kernel);
    return std::vector<double>(f.roData(), f.roData() + std::size_t(n) * n);
}

// A small hooked stroke with uneven weights, like a hand's shake: no symmetry of any kind.
inline velkaro::BlurKernel shakeKernel() {
    const int n = 7;
    std::vector<double> w(n * n, 0.0);
    const int path[][3] = {{1, 1, 4}, {1, 2, 3}, {2, 3, 3}, {3, 3, 2}, {4, 4, 2},
                           {5, 4, 1}, {5, 5, 1}, {4, 5, 1}, {3, 1, 1}};
    for (const auto& p : path) w[std::size_t(p[0]) * n + p[1]] = p[2];
    return velkaro::BlurKernel(velkaro::KernelImage::fromWeights(n, w));
}

// A w × h picture of one opaque colour.
inline CImage uniformPicture(int w, int h, int r, int g, int b) {
    CImage img(w, h);
    for (std::uint8_t* p = img.pixels(); p < img.pixels() + std::size_t(w) * h * 4; p += 4)
        p[1] = std::uint8_t(r), p[2] = std::uint8_t(g), p[3] = std::uint8_t(b);
    return img;
}

// Smooth shapes, hard edges and noise in each channel; opaque.
inline CImage testPicture(int w, int h, unsigned seed) {
    CImage img(w, h);
    std::mt19937 rng(seed);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* q = img.pixels() + (std::size_t(y) * w + x) * 4;
            const int edge = ((x / 7 + y / 5) % 2) * 80;
            q[1] = std::uint8_t(std::clamp(30 + 2 * x + edge + int(rng() % 21), 0, 255));
            q[2] = std::uint8_t(std::clamp(220 - 3 * y + int(rng() % 41) - 20, 0, 255));
            q[3] = std::uint8_t(std::clamp(edge + 60 + int(rng() % 11), 0, 255));
        }
    return img;
}

// The photograph blurred by the kernel of `radius` and `angle` (the blur simulation's
// convolution), Gaussian noise of `sigma` levels added.
inline CImage blurred(const CImage& in, double radius, int angle, double sigma, unsigned seed) {
    CImage out(in.width(), in.height());
    for (int channel = 1; channel <= 3; ++channel)
        velkaro::convolve(in, out, channel, radius, angle, 0, 0, in.width(), in.height());
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0, sigma > 0 ? sigma : 1);
    std::uint8_t* p = out.pixels();
    for (std::size_t i = 0; i < std::size_t(out.width()) * out.height() * 4 && sigma > 0; ++i)
        if (i % 4)
            p[i] = std::uint8_t(std::clamp(std::lround(p[i] + noise(rng)), 0L, 255L));
    return out;
}

// This process's children (not zombies) named `name` in /proc (any name when empty); stopped
// ones only with `stopped`.
inline std::vector<int> childProcesses(const std::string& name = "", bool stopped = true) {
    std::vector<int> found;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc ? readdir(proc) : nullptr) {
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string pid, comm, state;
        int parent = 0;
        if (stat >> pid >> comm >> state >> parent && parent == getpid() && state != "Z" &&
            (stopped || state != "T") && (name.empty() || comm == "(" + name + ")"))
            found.push_back(std::stoi(pid));
    }
    if (proc)
        closedir(proc);
    return found;
}

}  // namespace deblurtest
