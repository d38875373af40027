#include "Matrix.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "Check.h"
#include "Log.h"

namespace velkaro {

Matrix::Matrix(int r, int c) : mRows(r), mColumns(c) {
    VK_CHECK(r > 0);
    VK_CHECK(c > 0);
    // Counted in 32 bits like every dense index; a dense matrix stays below 2^31 elements.
    mCount = std::int64_t(r) * c;
    VK_CHECK(mCount <= INT32_MAX);
    mData.reset(static_cast<double*>(AllocateLarge(std::size_t(mCount) * sizeof(double))));
    VK_CHECK(mData);
}

Matrix::Matrix(int r, int c, double* filter, int filterRows, int filterColumns, int dataRows,
               int dataColumns)
    : mRows(r),
      mColumns(c),
      mCount(std::int64_t(r) * std::int64_t(c)),
      mFilter(filter),
      mFilterRows(filterRows),
      mFilterColumns(filterColumns),
      mDataRows(dataRows),
      mDataColumns(dataColumns),
      mLastDataRow(dataRows - 1),
      mLastDataColumn(dataColumns - 1),
      mFilterHalfColumns((filterColumns - 1) / 2),
      mFilterHalfRows((filterRows - 1) / 2) {
    VK_CHECK(r > 0);
    VK_CHECK((filterColumns & 1) == 1);
    VK_CHECK((filterRows & 1) == 1);
    VK_CHECK(filter);
    VK_CHECK(r == c && std::int64_t(dataRows) * dataColumns == r);
}

Matrix::~Matrix() {
    if (mData)
        VK_CHECK(!mFilter);
    else
        VK_CHECK(mFilter);
}

int Matrix::count() const {
    const int c = int(mCount);
    VK_CHECK(c == mCount);
    return c;
}

const double* Matrix::roData() const {
    VK_CHECK(!mIsDiagonal);
    VK_CHECK(mData);
    return mData.get();
}

double* Matrix::rwData() {
    VK_CHECK(!mIsDiagonal);
    VK_CHECK(mData);
    return mData.get();
}

const double* Matrix::roDiagonalData() const {
    VK_CHECK(mIsDiagonal);
    VK_CHECK(mData);
    return mData.get();
}

double* Matrix::rwDiagonalData() {
    VK_CHECK(mIsDiagonal);
    VK_CHECK(mData);
    return mData.get();
}

double Matrix::value() const {
    VK_CHECK(mCount == 1);
    VK_CHECK(mData);
    return mData[0];
}

void Matrix::setValue(double v) {
    VK_CHECK(mCount == 1);
    VK_CHECK(mData);
    mData[0] = v;
}

void Matrix::fill(double v) {
    VK_CHECK(!mIsDiagonal);
    VK_CHECK(mData);
    for (std::int64_t k = 0; k < mCount; ++k) mData[k] = v;
}

void Matrix::loadZeros() {
    VK_CHECK(!mIsDiagonal);
    VK_CHECK(mData);
    std::memset(mData.get(), 0, std::size_t(mCount) * sizeof(double));
}

void Matrix::diagonalize() {
    VK_CHECK(!mIsDiagonal);
    VK_CHECK(mColumns == 1);
    VK_CHECK(mData);
    mColumns = mRows;
    mCount = std::int64_t(mRows) * mRows;
    mIsDiagonal = true;
}

void Matrix::dediagonalize() {
    VK_CHECK(mIsDiagonal);
    VK_CHECK(mColumns == mRows);
    VK_CHECK(mData);
    mColumns = 1;
    mCount = mRows;
    mIsDiagonal = false;
}

int Matrix::dataColumnsCount() const {
    VK_CHECK(mFilter);
    return mDataColumns;
}

void Matrix::dump(const char* name) const {
    VK_CHECK(!isFilter());
    std::string text;
    char number[64];
    std::snprintf(number, sizeof number, "%s [%d x %d]:", name ? name : "Matrix", mRows,
                  mIsDiagonal ? 1 : mColumns);
    text += number;
    const int columns = mIsDiagonal ? 1 : mColumns;
    for (int i = 0; i < mRows; ++i) {
        text += '\n';
        for (int j = 0; j < columns; ++j) {
            std::snprintf(number, sizeof number, j ? " %.04f" : "%.04f",
                          mData[std::int64_t(i) * columns + j]);
            text += number;
        }
    }
    LogDebug("%s", text.c_str());
}

}  // namespace velkaro
