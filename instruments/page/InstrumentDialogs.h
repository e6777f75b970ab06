#pragma once
// The Instruments page's dialogs: a new log entry (checked by Calibration::Prepare when the
// page stores it) and the choices of a discovery package.
#include "base/Language.h"
#include "discovery/Discovery.h"
#include "instruments/Calibration.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QDateTimeEdit;
class QLineEdit;

class CLogEntryDialog : public QDialog {
    Q_OBJECT
public:
    // log: the instrument's entries, offered as the one a correction supersedes.
    CLogEntryDialog(const CLanguage& texts, const QList<Instruments::LogEntry>& log,
                    QWidget* parent = nullptr);
    Calibration::Input Input() const; // device left empty: the page fills it in
    QString Attachment() const;

private:
    void KindChanged();
    QComboBox* m_kind = nullptr;
    QDateTimeEdit* m_date = nullptr;
    QLineEdit* m_technician = nullptr;
    QComboBox* m_standardKind = nullptr;
    QLineEdit* m_lot = nullptr;
    QDateEdit* m_expiry = nullptr;
    QLineEdit* m_target = nullptr;
    QLineEdit* m_unit = nullptr;
    QLineEdit* m_measured = nullptr;
    QLineEdit* m_tolerance = nullptr;
    QLineEdit* m_attach = nullptr;
    QComboBox* m_supersedes = nullptr;
    QList<QWidget*> m_measuredOnly; // the standard's fields
};

class CDiscoveryDialog : public QDialog {
    Q_OBJECT
public:
    CDiscoveryDialog(const CLanguage& texts, const QString& device, QWidget* parent = nullptr);
    Discovery::Options Options() const;

private:
    QString m_device;
    QCheckBox* m_everything = nullptr;
    QDateEdit* m_start = nullptr;
    QDateEdit* m_end = nullptr;
    QLineEdit* m_redact = nullptr;
    QCheckBox* m_pictures = nullptr;
    QLineEdit* m_out = nullptr;
};
