// Decomposition event sink (see scan_event_sink.h). This first form
// processes every object and reports nothing: the decisions per object are
// still to be written, and until then no scan changes or records anything.
#include "scanner/scan_event_sink.h"

#include <cstring>

#include "scanner/scan_result.h"

int32_t ExtensionOf(const char* name, char* buffer, int32_t size)
{
    if (!buffer || size < 1)
        return 0;
    buffer[0] = '\0';
    (void)name;
    return 0;
}

CScanEventSink::CScanEventSink(const ZelEngineApi& api, ZELHANDLE engine, int32_t actionLevel,
                               IScanCallback* callback, int32_t context, CScanResult* result,
                               int32_t filter, int32_t scanTopLevel)
    : m_Api(api), m_Engine(engine), m_ActionLevel(actionLevel), m_Callback(callback),
      m_FilterCallback(filter ? callback : nullptr), m_Context(context), m_Result(result),
      m_ScanTopLevel(scanTopLevel != 0)
{
}

int32_t CScanEventSink::onObject(IRavObject*, uint16_t* resultWord, char* newDataFile,
                                 int32_t newDataFileSize, int32_t* continueFlag)
{
    if (resultWord)
        *resultWord = 0;
    if (newDataFile && newDataFileSize > 0)
        newDataFile[0] = '\0';
    if (continueFlag)
        *continueFlag = 1;
    return 0;
}

int32_t CScanEventSink::onQuery(IRavObject*, int32_t* flag)
{
    if (flag)
        *flag = 1;
    return 0;
}

int32_t CScanEventSink::onEnterObject(IRavObject*, const char*, int32_t* processFlag)
{
    if (processFlag)
        *processFlag = 1;
    return 0;
}

int32_t CScanEventSink::onError(IRavObject*, int32_t, int32_t, int32_t* continueFlag)
{
    if (continueFlag)
        *continueFlag = 1;
    return 0;
}

int32_t CScanEventSink::onObjectEnd(IRavObject*, uint16_t* resultWord, char* newDataFile,
                                    int32_t newDataFileSize)
{
    if (resultWord)
        *resultWord = 0;
    if (newDataFile && newDataFileSize > 0)
        newDataFile[0] = '\0';
    return 0;
}

int32_t CScanEventSink::onIdle() { return 0; }

int32_t CScanEventSink::onObjectError(IRavObject*, int32_t error, uint16_t* resultWord, int32_t)
{
    if (resultWord)
        *resultWord = 0;
    return error;
}
