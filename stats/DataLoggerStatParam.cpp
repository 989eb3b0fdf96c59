#include "stats/DataLoggerStatParam.h"

#include <cmath>

namespace quorix::pelmo::datalogger {

void DataLoggerStatParam::add(double value) {
    ++mCount;
    update(mCount == 1, mCount, value);
}

double DataLoggerStatParam::getAndReset() {
    if (mCount == 0) throw DataLoggerStatParamError("no point pushed yet");
    double value = getValue();
    mCount = 0;
    return value;
}

void DataLoggerStatParam::update(bool, uint32_t, double) {}

double DataLoggerStatParam::getValue() {
    return mValue;
}

void DataLoggerStatMax::update(bool first, uint32_t, double x) {
    mValue = first ? x : (x < mValue ? mValue : x);
}

void DataLoggerStatMin::update(bool first, uint32_t, double x) {
    mValue = first ? x : (x > mValue ? mValue : x);
}

void DataLoggerStatAverage::update(bool first, uint32_t n, double x) {
    mValue = first ? x : (x + (n - 1) * mValue) / n;
}

void DataLoggerStatStdDev::update(bool first, uint32_t n, double x) {
    if (first) {
        mShift = x;
        mMean = 0.0;
        mSquares = 0.0;
        return;
    }
    const double y = x - mShift;
    const double delta = y - mMean;
    mMean += delta / n;
    mSquares += delta * (y - mMean);
}

double DataLoggerStatStdDev::getValue() {
    return std::sqrt(mSquares / count());
}

}  // namespace quorix::pelmo::datalogger
