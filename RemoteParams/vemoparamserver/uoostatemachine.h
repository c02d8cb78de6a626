#pragma once

#include "paramchunk.h"
#include "syncblock.h"
#include "uoodescriptor.h"
#include "uoorparamsdesc.h"

#include <QDateTime>

#include <array>

// One UOO device's entry: its parameter record with the set CRCs kept beside it,
// its descriptor, and the moves of the record between the states of the
// parameter protocol (SYNC, chunk, acknowledgement, download request, download
// finished, retry, reset).
//
// Every move returns an Outcome, plain data: the datagram to send back, the
// action to write to the action log, the diagnostic note to write, and what
// changed. The machine knows no socket, clock, file or other device; the server
// turns the outcome into a datagram, a log row, signals and dirty marks.
class UooStateMachine
{
public:
    // Largest upload collected for one device.
    static constexpr int MaxUploadSize = 16 * 1024 * 1024;
    // Failed download attempts of one new set before it is given up.
    static constexpr int MaxDownloadRetries = 3;

    // Actions of the action log (column message).
    enum Action {
        NoAction = 0,
        ActionUploaded = 1,      // the device's current set was uploaded
        ActionChunkSent = 2,     // the download of a new set began
        ActionFinishedAcked = 3, // the device's end of download was acknowledged
        ActionConfirmed = 4,     // the device confirmed the new set
        ActionInterrupted = 5,   // a download attempt failed
    };

    // Diagnostic lines; noteValue carries the number some of them show.
    enum Note {
        NoNote,
        NoteInvalidPack,      // a chunk beyond the largest upload
        NoteUploadMemory,     // a chunk refused: all uploads hold their limit
        NoteDataCrc,          // a chunk whose CRC does not match its data
        NoteOutOfSequence,    // a chunk that does not continue the upload (noteValue: offset)
        NoteSetCrc,           // end of download with another set CRC (noteValue)
        NoteUnmatchedState,   // a message the state does not expect (noteValue: state)
        NoteNoNewSet,         // a state that needs a new set had none (noteValue: state)
        NoteInvalidState,     // SYNC in a state that does not exist
        NoteDownloadBroken,   // SYNC in the middle of a download
        NoteUpdateFailed,     // SYNC after a download reports another set
        NoteUploaded,         // the device's current set is complete
        NoteDownloadComplete, // the last chunk of the new set was acknowledged
        NoteConfirmed,        // the device confirmed the new set
    };

    struct Outcome
    {
        // Message code of the reply; 0 when nothing is sent.
        quint32 command = 0;
        quint16 value = 0;
        int payloadSize = 0;
        // The reply's payload; only its first payloadSize bytes are set.
        std::array<char, ParamChunk::Size> payload;
        Action action = NoAction;
        Note note = NoNote;
        qint64 noteValue = 0;
        // The record changed in what is kept in the file.
        bool dirty = false;
        // Workstations are to be told of the record, of the descriptor.
        bool recordChanged = false;
        bool descriptorChanged = false;
        // The record started over: the device is no longer seen.
        bool reset = false;
        // The new set was given up after the last retry.
        bool newSetGivenUp = false;
        // The chunk's bytes were added to the running upload.
        bool uploadTaken = false;
        // The device goes on with the running upload: a chunk taken, sent again,
        // or refused for want of room. The upload is not idle.
        bool uploadActive = false;
    };

    const UooRParamsDesc& record() const { return params; }
    const UooDescriptor& descriptor() const { return described; }
    bool hasDescriptor() const { return descriptorSet; }
    bool isOnline() const { return params.isOnline(); }

    // Takes a record read from the file: offline, never seen, no upload running.
    void restore(const UooRParamsDesc& stored);

    // A SYNC request from ip:port (ip 0 when not IPv4) with the status word of
    // its header.
    Outcome sync(const SyncBlock& request, quint16 status, quint32 ip, quint16 port);
    // One chunk of the device's current set (its length checked by the caller).
    // uploadRoom: by how many bytes the upload's buffer may still grow, the room
    // left to all uploads together; a chunk that needs more is refused.
    // Only a chunk that continues what is held (its offset equals the bytes held;
    // offset 0 starts over) is taken. Any other chunk is not acknowledged and never
    // completes an upload; while the server waits for the device's set, the
    // device is asked for it again from the start (SYNC reply, command 0).
    Outcome chunk(const ParamChunk& piece, qint64 uploadRoom);
    // The device acknowledged the last chunk of the new set sent to it.
    Outcome acknowledged();
    // The device asks for the new set.
    Outcome downloadRequested();
    // The device has the whole new set, whose set CRC it reports.
    Outcome downloadFinished(quint16 setCrc);
    // A failed download attempt of the new set, reported by a SYNC request:
    // counted; after the third retry the set is given up, otherwise the download
    // restarts from its first byte with a new-set reply.
    Outcome retryDownload(const SyncBlock& request);

    // The silent device goes offline.
    void goOffline();

    // The memory held by the running upload (its buffer's capacity), whether one
    // runs, and giving it up (the device starts over).
    qint64 uploadHeld() const { return params.uploadBuffer.capacity(); }
    bool uploadRunning() const { return !params.uploadBuffer.isNull(); }
    void dropUpload() { params.uploadBuffer = QByteArray(); }

    // Operator requests: a new set for the device (only while idle), and its
    // withdrawal (in any state).
    bool schedule(const UooRParamsDesc& request);
    void cancel();
    // A new set read from the file after the device has spoken since start-up:
    // taken when the record has none and can take one. True when taken.
    bool adoptStoredNewSet(const UooRParamsDesc& stored);

private:
    void retry(const SyncBlock& request, Outcome* out);
    bool resetWithoutNewSet(Outcome* out);
    void askUpload(const QDateTime& devTime, SyncBlock* reply, Outcome* out);
    void confirm(SyncBlock* reply, Outcome* out);
    void sendNextChunk(Outcome* out);
    void askUploadAgain(Outcome* out) const;
    bool isRepeatedChunk(const ParamChunk& piece) const;
    bool appendUpload(const ParamChunk& piece, qint64 uploadRoom);
    void dropNewSet();

    static SyncBlock replyTo(const SyncBlock& request);
    static void sendSyncReply(const SyncBlock& reply, Outcome* out);
    void setUooParams(const QByteArray& bytes);
    void setLocalParams(const QByteArray& bytes);
    void setUooTime(const QDateTime& time);
    const QDateTime& deviceTime(const std::array<quint8, SyncBlock::TimeSize>& bytes);

    UooRParamsDesc params;
    UooDescriptor described;
    bool descriptorSet = false;
    // Set CRCs of params.uooparams and params.localparams, kept current by every
    // assignment of those bytes.
    quint16 uooSetCrc = 0;
    quint16 localSetCrc = 0;
    // Device time stamp of the last SYNC request and whether uootime is earlier
    // than it; valid while the stamp and uootime stay the same.
    bool timeCacheValid = false;
    std::array<quint8, SyncBlock::TimeSize> timeBytes{};
    QDateTime lastDeviceTime;
    bool deviceTimeNewer = false;
};
