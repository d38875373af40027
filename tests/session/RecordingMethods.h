#pragma once

// Stand-ins for the deblurring methods that record every call, so that the session's dispatch can
// be checked without running the real numerics. They write a recognisable value into the region's
// channel (the input's value + 1, saturating) and can be held at a gate to keep steps running.

#include <atomic>
#include <string>
#include <vector>

#include "DeblurMethods.h"

struct MethodCall {
    std::string method;           // the real method's name, e.g. "deconvolve_wiener_fir"
    const void* input = nullptr;  // pixels of the input image
    int outWidth = 0, outHeight = 0;
    int channel = 0;
    std::vector<double> params;   // the method's own parameters, in order, widened to double
    int angle = 0, x = 0, y = 0, w = 0, h = 0;
    const double* residual = nullptr;
    const std::atomic<bool>* cancel = nullptr;
};

// The table of recording stand-ins.
DeblurMethods RecordingDeblurMethods();

// Every call since the last clear, in the order made.
std::vector<MethodCall> RecordedMethodCalls();
void ClearRecordedMethodCalls();

// While closed, every stand-in call for a radius whose step (radius × 2) is listed waits. Also
// counts the number of distinct steps inside the stand-ins at once.
void CloseMethodGate(const std::vector<int>& radiusSteps);
void OpenMethodGate(int radiusStep);
void OpenMethodGateForAll();
int MaxConcurrentSteps();
// Steps currently waiting at the gate (any channel).
int StepsAtGate();

// Each stand-in call sleeps this many microseconds (0 by default), polling the cancel flag of the
// least-squares pair.
void SetMethodDelayMicroseconds(int microseconds);
