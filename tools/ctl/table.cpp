#include "table.h"

#include "console.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

constexpr int line_size = table_max_columns * (table_cell_size + 4) + 2;

// Appends text to line (of line_size), quoted for CSV when it holds a comma or a quote.
void append_csv(char* line, const char* text)
{
    size_t at = strlen(line);
    const bool quote = strpbrk(text, ",\"") != nullptr;
    if (quote && at + 1 < line_size) line[at++] = '"';
    for (const char* c = text; *c && at + 2 < line_size; ++c) {
        if (*c == '"') line[at++] = '"';
        line[at++] = *c;
    }
    if (quote && at + 1 < line_size) line[at++] = '"';
    line[at] = '\0';
}

// Ends a line: trailing blanks go, a line end comes, and it is written as it is (a row is
// never broken; the narrow tables fit the console by their columns).
void finish(char* line)
{
    size_t at = strlen(line);
    while (at > 0 && line[at - 1] == ' ') --at;
    line[at++] = '\n';
    line[at] = '\0';
    console_data(line);
}

} // namespace

void plain_zero(char* text)
{
    if (text[0] != '-') return;
    const char* c = text + 1;
    if (*c != '0') return;
    for (++c; *c == '0' || *c == '.'; ++c) {
    }
    if (*c) return; // a digit other than 0, an exponent, a unit: not a zero
    memmove(text, text + 1, strlen(text));
}

void csv_line(const char* const* fields, int count)
{
    char line[line_size];
    line[0] = '\0';
    for (int c = 0; c < count; ++c) {
        if (c) strcat(line, ",");
        append_csv(line, fields[c]);
    }
    finish(line);
}

Table::Table(const TableColumn* columns, int count)
    : columns_(columns), count_(count < table_max_columns ? count : table_max_columns)
{
}

bool Table::add_row()
{
    if (rows_ == table_max_rows) {
        full_ = true;
        return false;
    }
    ++rows_;
    next_ = 0;
    full_ = false;
    return true;
}

void Table::cell(const char* format, ...)
{
    if (rows_ == 0 || full_ || next_ >= count_) return;
    char* text = cells_[rows_ - 1][next_++];
    va_list args;
    va_start(args, format);
    _vsnprintf(text, table_cell_size - 1, format, args);
    va_end(args);
    text[table_cell_size - 1] = '\0';
    plain_zero(text);
}

void Table::print(bool csv) const
{
    char line[line_size];
    if (csv) {
        const char* fields[table_max_columns];
        for (int c = 0; c < count_; ++c) fields[c] = columns_[c].header;
        csv_line(fields, count_);
        for (int r = 0; r < rows_; ++r) {
            for (int c = 0; c < count_; ++c) fields[c] = cells_[r][c];
            csv_line(fields, count_);
        }
        return;
    }
    int width[table_max_columns];
    for (int c = 0; c < count_; ++c) {
        width[c] = static_cast<int>(strlen(columns_[c].header));
        if (width[c] > table_cell_size - 1) width[c] = table_cell_size - 1;
        for (int r = 0; r < rows_; ++r) {
            const int w = static_cast<int>(strlen(cells_[r][c]));
            if (w > width[c]) width[c] = w;
        }
    }
    for (int r = -1; r < rows_; ++r) {
        size_t at = 0;
        for (int c = 0; c < count_; ++c) {
            const char* text = r < 0 ? columns_[c].header : cells_[r][c];
            const int n = _snprintf(line + at, sizeof line - at, columns_[c].left ? "%s%-*.*s" : "%s%*.*s",
                                   c ? "  " : "", width[c], table_cell_size - 1, text);
            if (n > 0) at += static_cast<size_t>(n);
            if (at >= sizeof line - 2) at = sizeof line - 3;
        }
        line[at] = '\0';
        finish(line);
    }
}
