#pragma once

#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

namespace quorix::pelmo::datalogger {

class DataLoggerStatParamError : public std::exception {
public:
    explicit DataLoggerStatParamError(std::string message) : mMessage(std::move(message)) {}
    const char* what() const noexcept override { return mMessage.c_str(); }

private:
    std::string mMessage;
};

// One statistic of one channel over one period. add() runs on the processing thread,
// getAndReset() on the caller manager's thread; the mutex keeps them apart.
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

    double mValue = 0.0;

private:
    const std::string mName;
    std::mutex mMutex;  // guards mCount and the accumulated state of the derived classes
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

// Population standard deviation (divisor n) of the values of the period.
class DataLoggerStatStdDev : public DataLoggerStatParam {
public:
    DataLoggerStatStdDev() : DataLoggerStatParam("stddev") {}

protected:
    void update(bool first, uint32_t count, double value) override;
    double getValue() override;

private:
    std::vector<double> mValues;
};

}  // namespace quorix::pelmo::datalogger
