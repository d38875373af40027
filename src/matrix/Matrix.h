#pragma once

#include <cstdint>
#include <memory>

#include "LargeAllocation.h"

namespace velkaro {

// A matrix of doubles in one of three storage kinds:
// - dense: row-major storage of rows × columns values (a column vector is dense n × 1);
// - diagonal: square n × n, only the n diagonal values stored (made by `diagonalize` of a column);
// - filter: the (h·w) × (h·w) matrix of a correlation with a kernel over an h × w image with
//   mirrored borders. It is never stored: its rows are generated one at a time
//   (`generateNextRow`, module MatrixFilter) and only the products and `MatrixFull` accept it.
// Results are written into matrices the caller has constructed with the right shape; nothing
// allocates or resizes a result. A Matrix is never copied; contents move with `MatrixCopy`.
// New dense storage is not initialised.
class Matrix {
  public:
    // One non-zero weight of a generated filter row: `value` at column `column` (+ the state's
    // shift).
    struct Entry {
        double value;
        std::int32_t column;
    };
    // Cursor over the rows of a filter matrix (defined in MatrixFilter.h).
    class GeneratorState;

    // Dense r × c, uninitialised.
    Matrix(int r, int c);
    // Filter matrix of the kernel `filter` (filterRows × filterColumns doubles, row-major, both
    // odd, not owned: it must outlive the matrix) over an image of dataRows × dataColumns
    // pixels; the caller passes r = c = dataRows × dataColumns.
    Matrix(int r, int c, double* filter, int filterRows, int filterColumns, int dataRows,
           int dataColumns);
    ~Matrix();

    Matrix(const Matrix&) = delete;
    Matrix& operator=(const Matrix&) = delete;

    int rows() const { return mRows; }
    int columns() const { return mColumns; }
    int count() const;  // the element count, which must fit in 32 bits
    bool isDiagonal() const { return mIsDiagonal; }
    bool isFilter() const { return mFilter != nullptr; }

    const double* roData() const;
    double* rwData();
    const double* roDiagonalData() const;
    double* rwDiagonalData();

    // The single element of a 1 × 1 matrix.
    double value() const;
    void setValue(double v);

    void fill(double v);
    void loadZeros();

    // n × 1 column <-> n × n diagonal; the n values stay in place.
    void diagonalize();
    void dediagonalize();

    // Image width of a filter matrix.
    int dataColumnsCount() const;

    // Prints "name [rows x columns]:" then one line per row ("%.04f" values, one space apart);
    // a diagonal matrix prints its diagonal, one value per line.
    void dump(const char* name = nullptr) const;

    // Advances `s` to the next row of this filter matrix (module MatrixFilter).
    void generateNextRow(GeneratorState& s) const;

    // Kernel and image geometry of a filter matrix (read by the products).
    const double* filter() const { return mFilter; }
    int filterRows() const { return mFilterRows; }
    int filterColumns() const { return mFilterColumns; }
    int dataRows() const { return mDataRows; }
    int dataColumns() const { return mDataColumns; }
    int filterHalfRows() const { return mFilterHalfRows; }
    int filterHalfColumns() const { return mFilterHalfColumns; }

  private:
    std::int32_t mRows;
    std::int32_t mColumns;
    std::int64_t mCount;
    bool mIsDiagonal = false;
    LargeArray<double> mData;
    double* mFilter = nullptr;
    std::int32_t mFilterRows = 0;
    std::int32_t mFilterColumns = 0;
    std::int32_t mDataRows = 0;
    std::int32_t mDataColumns = 0;
    std::int32_t mLastDataRow = 0;
    std::int32_t mLastDataColumn = 0;
    std::int32_t mFilterHalfColumns = 0;
    std::int32_t mFilterHalfRows = 0;
};

}  // namespace velkaro
