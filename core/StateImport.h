#pragma once

// The older state files (led-calibration.ini, update-history.jsonl and its
// rotated .1) taken into the state database once: inside the database's
// set-up transaction, each file is read, its entries put in and its name
// recorded; after the commit the files become *.imported. A file whose name
// is recorded already (a program stopped between commit and rename) is only
// renamed. A history line that is no record is counted, never glued to the
// next: a line cut off by a crash and continued by the next append still
// gives up the record that follows the cut.

#include <QString>
#include <QStringList>

class QSqlDatabase;

namespace StateImport {

// Whether any older file waits in the folder.
bool pending(const QString& folder);
// Imports what waits; says what it did into notes.
bool run(QSqlDatabase& db, const QString& folder, QStringList& notes, QString& error);
// After the commit: the imported files get ".imported" added.
void renameImported(const QString& folder);

} // namespace StateImport
