// Checks the window makes before a run, so a bad value is shown where it is
// typed or chosen instead of as failed rows.
#pragma once

#include <QString>
#include <QValidator>

// A name prefix: no '/' and no control characters, which no file name here
// may hold; "." and ".." may still become a longer prefix while typed, but
// are not valid as they stand.
class PrefixValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& text, int& pos) const override;
    static bool IsValid(const QString& text);
    // Why the prefix is refused, empty when it is valid.
    static QString Problem(const QString& text);
};

// Why nothing can be written into folder, or empty when it can: it exists
// as a writable folder, or it is missing and the nearest folder above it is
// writable (the run creates it).
QString OutputFolderProblem(const QString& folder);

// Creates folder when missing; the reason on failure, else empty.
QString PrepareOutputFolder(const QString& folder);
