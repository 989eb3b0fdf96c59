#include "stats/DataLoggerStatParam.h"

#include <cmath>

namespace quorix::pelmo::datalogger {

void DataLoggerStatParam::add(double value) {
    std::lock_guard<std::mutex> lock(mMutex);
    ++mCount;
    update(mCount == 1, mCount, value);
}

double DataLoggerStatParam::getAndReset() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mCount == 0) throw DataLoggerStatParamError("no point pushed yet");
    double value = getValue();
    mCount = 0;
    return value;
}

void DataLoggerStatParam::update(bool, uint32_t, double) {}

double DataLoggerStatParam::getValue() { return mValue; }

void DataLoggerStatMax::update(bool first, uint32_t, double x) {
    mValue = first ? x : (x < mValue ? mValue : x);
}

void DataLoggerStatMin::update(bool first, uint32_t, double x) {
    mValue = first ? x : (x > mValue ? mValue : x);
}

void DataLoggerStatAverage::update(bool first, uint32_t n, double x) {
    mValue = first ? x : (x + (n - 1) * mValue) / n;
}

void DataLoggerStatStdDev::update(bool, uint32_t, double x) { mValues.push_back(x); }

double DataLoggerStatStdDev::getValue() {
    double sum = 0.0;
    for (double v : mValues) sum += v;
    const double n = static_cast<double>(mValues.size());
    const double mean = sum / n;
    double squares = 0.0;
    for (double v : mValues) squares += (v - mean) * (v - mean);
    mValues.clear();
    return std::sqrt(squares / n);
}

}  // namespace quorix::pelmo::datalogger
