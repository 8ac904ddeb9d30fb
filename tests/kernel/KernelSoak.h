#pragma once

#include "HubModel.h"

#include <QString>

#include <functional>
#include <vector>

// The end-to-end program's way of telling a check and of comparing what the
// hub was written with the built-in image.
struct SoakChecks {
    std::function<void(bool ok, const char* name, const QString& why)> check;
    std::function<QString(const std::vector<hubsim::WrittenBlock>& written)> blocksDiffer;
    int dataLines = 0; // of the built-in image
};

// Attempts in a row with faults drawn from seed; probeProgram (quorvi-hub),
// when given, probes the first attempt from a second process.
int phaseSoak(const SoakChecks& checks, unsigned seed, int attempts, const QString& probeProgram);
