// A small table for the client's reports: a header and rows of short cells, printed as
// aligned columns, or as CSV (the header line, then one line per row) for scripts.
#pragma once

constexpr int table_max_columns = 12;
constexpr int table_max_rows = 40;
constexpr int table_cell_size = 24; // a cell's text, its NUL included; longer texts are cut

struct TableColumn {
    const char* header; // also the CSV field name
    bool left;          // left-aligned (text) rather than right-aligned (numbers)
};

// A number that rounds to zero is written without its sign ("-0.00" becomes "0.00"); any
// other text stays as it is.
void plain_zero(char* text);
// Writes one CSV line to standard output: the fields, each quoted where it holds a comma or
// a quote.
void csv_line(const char* const* fields, int count);

class Table {
public:
    // The columns, at most table_max_columns of them; the array must outlive the table.
    Table(const TableColumn* columns, int count);
    // Starts a row; false when the table is full (the row's cells are then dropped).
    bool add_row();
    // Sets the next cell of the last row; cells not set stay empty.
    void cell(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Writes the table to standard output: aligned under its header, or as CSV.
    void print(bool csv) const;

private:
    const TableColumn* columns_;
    int count_;
    int rows_ = 0;
    int next_ = 0;    // the next cell of the last row
    bool full_ = false;
    char cells_[table_max_rows][table_max_columns][table_cell_size] = {};
};
