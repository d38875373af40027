#pragma once

// Stand-ins for the deblurring methods that record every call, so that the session's dispatch can
// be checked without the real numerics. They write the input's value + 1 (saturating) into the
// region's channel, and can be held at a gate to keep steps running.

#include <atomic>
#include <string>
#include <vector>

#include "DeblurMethods.h"

struct MethodCall {
    std::string method;           // the real method's name, e.g. "deconvolve_wiener_fir"
    const void* input = nullptr;  // pixels of the input image
    int outWidth = 0, outHeight = 0;
    int channel = 0;
    std::vector<double> params;   // radius first, then the method's own parameters as doubles
    int angle = 0, x = 0, y = 0, w = 0, h = 0;
    const double* residual = nullptr;
    const std::atomic<bool>* cancel = nullptr;
};

DeblurMethods RecordingDeblurMethods();

// Every call since the last clear, in the order made.
std::vector<MethodCall> RecordedMethodCalls();
void ClearRecordedMethodCalls();

// While closed, every call for a listed step (radius × 2) waits at the gate.
void CloseMethodGate(const std::vector<int>& radiusSteps);
void OpenMethodGate(int radiusStep);
void OpenMethodGateForAll();
// The most distinct steps inside the stand-ins at once, and the calls waiting at the gate now.
int MaxConcurrentSteps();
int StepsAtGate();

// Each call then sleeps this long, polling the cancel flag of the least-squares pair.
void SetMethodDelayMicroseconds(int microseconds);
