#pragma once

// The update history as a window, opened from the window menu: the records
// that `quorvi-hub history` lists, newest first, filterable by hub.

#include "UpdateHistory.h"

#include <QList>
#include <QWidget>

class QComboBox;
class QLabel;
class QTableWidget;

class HistoryWindow : public QWidget {
    Q_OBJECT
public:
    explicit HistoryWindow(QWidget* parent = nullptr);

    // Shows these records (any order); the hub chosen stays chosen while it is among them.
    void setRecords(const QList<UpdateRecord>& records);
    // The hubs' identity keys in the filter, after "All hubs".
    QStringList hubs() const;
    // Shows only this hub's records; an empty key shows every hub's.
    void filterHub(const QString& hub);

    QComboBox* cbbHub = nullptr;
    QTableWidget* grdRecords = nullptr;
    QLabel* lblCount = nullptr;

private:
    void fill();

    QList<UpdateRecord> m_records; // newest first
};
