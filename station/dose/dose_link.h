#pragma once
// The link to the X-ray unit: keeps the serial port open, collects received text until
// a record is complete, hands it over through cInput.txt and parses and stores it.
// No widgets: the main window mirrors the raw input (txtcInput) and the token list
// (List1) from the signals, and supplies the projection field through hooks.
//
// States: closed (before the first initialise), polling, waiting (a complete record is
// being parsed, or waits after a parse error or for a Giotto projection).
#include <QObject>
#include <QSerialPort>
#include <QStringList>
#include <QTimer>
#include <filesystem>
#include <functional>

#include "dose/dose_store.h"
#include "dose/hand_over.h"
#include "dose/serial_config.h"
#include "settings/settings.h"

namespace corva::dose {

class DoseLink : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        // Text3(5), the projection field; a Giotto record waits while it is empty.
        std::function<QString()> projectionField;
        std::function<void()> clearProjectionField;
        // The caption of the projection button last clicked.
        std::function<QString()> currentProjection;
        // After a parse that did not fail: reload the dose list.
        std::function<void()> parsed;
        // Each read that did not complete a record (the forwarding buttons follow it).
        std::function<void()> waiting;
    };

    DoseLink(settings::Settings& settings, std::filesystem::path programFolder, const DoseStore& store,
             QObject* parent = nullptr);
    ~DoseLink() override;

    Hooks& hooks() { return hooks_; }

    // Initialise_cPort: empties the raw input, (re)opens the port with the current
    // settings, throws away what waits on it and starts polling. Each failing step is
    // logged under "Initialise_cPort" and the next one still runs.
    void initialise();
    // SerTimer_Timer: reads everything waiting and takes over a complete record.
    void tick();
    // dbFill: takes over cInput.txt, parses by unit type and stores the record.
    void dbFill();
    // Switches the poll on (also done by "Delete Dosislist").
    void pollOn();

    bool isPolling() const { return polling_; }
    bool isOpen() const { return port_.isOpen(); }
    QString portName() const { return port_.portName(); }
    const LineSettings& lineSettings() const { return line_; }
    QSerialPort::FlowControl flow() const { return flow_; }

    // The raw input buffer (txtcInput). While no record completes it keeps at most
    // MaxBufferChars: the oldest text goes first (logged once until a record completes).
    static constexpr qsizetype MaxBufferChars = 64 * 1024;
    const QString& buffer() const { return buffer_; }
    void setBuffer(const QString& text);
    // The token list of the last Sophie parse (List1).
    const QStringList& tokens() const { return tokens_; }

    const HandOverFiles& handOver() const { return handOver_; }

signals:
    // The buffer was replaced (emptied, taken over, or cut at its front).
    void bufferChanged(const QString& text);
    // Text arrived and was added at the buffer's end: a mirror appends just this.
    void bufferAppended(const QString& piece);
    void tokensChanged(const QStringList& tokens);

private:
    void setTokens(const QStringList& tokens);
    void append(const QString& piece);
    void applySettings();

    settings::Settings& settings_;
    const DoseStore& store_;
    HandOverFiles handOver_;
    Hooks hooks_;
    QSerialPort port_;
    QTimer timer_;
    LineSettings line_;
    QSerialPort::FlowControl flow_ = QSerialPort::NoFlowControl;
    QString device_;
    QString buffer_;
    QStringList tokens_;
    bool polling_ = false;
    bool overflowLogged_ = false;  // the cut of the oldest text is logged once per record
};

}  // namespace corva::dose
