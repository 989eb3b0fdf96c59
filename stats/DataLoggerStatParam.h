#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace quorix::pelmo::datalogger {

class DataLoggerStatParamError : public std::exception {
public:
    explicit DataLoggerStatParamError(std::string message) : mMessage(std::move(message)) {}
    const char* what() const noexcept override { return mMessage.c_str(); }

private:
    std::string mMessage;
};

// One statistic of one channel over one period, in constant memory whatever the number of
// values.
//
// Ownership: owned by its statistics producer.
// Threads: not synchronised. add() runs on the processing thread and getAndReset() on the
// caller manager's thread, so the owner serialises them; the producer does it with the one lock
// it takes per point, which also keeps the four statistics of a period together.
// Failure: getAndReset() throws DataLoggerStatParamError when nothing was added.
class DataLoggerStatParam {
public:
    explicit DataLoggerStatParam(std::string name) : mName(std::move(name)) {}
    virtual ~DataLoggerStatParam() = default;

    void add(double value);
    // Throws DataLoggerStatParamError "no point pushed yet" when nothing was added since the
    // last read-out.
    double getAndReset();
    std::string name() const { return mName; }

protected:
    // first: this is the first value since the last read-out; count includes it.
    virtual void update(bool first, uint32_t count, double value);
    virtual double getValue();
    uint32_t count() const { return mCount; }

    double mValue = 0.0;

private:
    const std::string mName;
    uint32_t mCount = 0;
};

class DataLoggerStatMax : public DataLoggerStatParam {
public:
    DataLoggerStatMax() : DataLoggerStatParam("max") {}

protected:
    void update(bool first, uint32_t count, double value) override;
};

class DataLoggerStatMin : public DataLoggerStatParam {
public:
    DataLoggerStatMin() : DataLoggerStatParam("min") {}

protected:
    void update(bool first, uint32_t count, double value) override;
};

class DataLoggerStatAverage : public DataLoggerStatParam {
public:
    DataLoggerStatAverage() : DataLoggerStatParam("mean") {}

protected:
    void update(bool first, uint32_t count, double value) override;
};

// Population standard deviation (divisor n) of the values of the period, in one pass.
class DataLoggerStatStdDev : public DataLoggerStatParam {
public:
    DataLoggerStatStdDev() : DataLoggerStatParam("stddev") {}

protected:
    void update(bool first, uint32_t count, double value) override;
    double getValue() override;

private:
    // Welford's running mean and sum of squared deviations, of the values minus the period's
    // first value: on the raw values, an offset of 1e9 under a spread of 1 would cost the
    // result eight of its digits.
    double mShift = 0.0;
    double mMean = 0.0;
    double mSquares = 0.0;
};

}  // namespace quorix::pelmo::datalogger
