#pragma once

// The exit statuses of paramctl. Statuses 8 to 11 mean that the input was wrong
// and that nothing was sent to the server for the item concerned.
struct ParamCtlExitCode
{
    enum Code {
        Success = 0,
        BadUsage = 2,
        ConnectFailed = 3,
        ConnectionClosed = 4,
        LoginRefused = 5,
        OperationFailed = 6,
        TimedOut = 7,
        FileError = 8,
        BadBatchLine = 9,
        BadDeviceList = 10,
        EmptySetFile = 11,
        Interrupted = 130,
    };
};
