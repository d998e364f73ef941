/*
 * halvane: client module of the trading-discipline service.
 *
 * Seven plain C functions. Each takes UTF-16 text arguments (a null pointer counts as an
 * empty text), runs one synchronous HTTPS exchange with the service and writes a short
 * UTF-16 result text into the caller's buffer. No function returns a value, none throws,
 * and none writes at or past `resultLength` code units of `result`.
 *
 * On 32-bit Windows the functions use the __stdcall convention (the callee removes its
 * arguments from the stack), and HALVANE_CALL carries it into every declaration and
 * function pointer type; on 64-bit Windows and elsewhere there is one convention only.
 *
 * `resultLength` is the capacity of `result` in UTF-16 code units, terminating zero
 * included. A result that does not fit is never truncated: the buffer receives "ERROR"
 * (length 6 or more) or the empty text (length 1 to 5). Length 0 or less, or a null
 * `result`, writes nothing.
 */
#ifndef HALVANE_H
#define HALVANE_H

#include <stdint.h>

#ifdef _WIN32
typedef wchar_t HalvaneChar; /* UTF-16 on Windows */
#define HALVANE_API
#define HALVANE_CALL __stdcall
#else
#ifdef __cplusplus
typedef char16_t HalvaneChar;
#else
#include <uchar.h>
typedef char16_t HalvaneChar;
#endif
#define HALVANE_API __attribute__((visibility("default")))
#define HALVANE_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* "/get_daily_quiz.php": the whole signed reply, the service's message, "SIGNATURE_INVALID"
 * or "ERROR". */
HALVANE_API void HALVANE_CALL GetDailyQuiz(const HalvaneChar* key, const HalvaneChar* account, HalvaneChar* result,
                                           int32_t resultLength);
HALVANE_API void HALVANE_CALL GetDailyQuizV2(const HalvaneChar* key, const HalvaneChar* account, int64_t brokerTime,
                                             HalvaneChar* result, int32_t resultLength);

/* "/submit_quiz_answers.php": "success|<readiness>|<percent>", the service's message,
 * "SIGNATURE_INVALID" or "ERROR". */
HALVANE_API void HALVANE_CALL SubmitQuizAnswers(const HalvaneChar* key, const HalvaneChar* account,
                                                const HalvaneChar* answers, HalvaneChar* result, int32_t resultLength);
HALVANE_API void HALVANE_CALL SubmitQuizAnswersV2(const HalvaneChar* key, const HalvaneChar* account,
                                                  const HalvaneChar* answers, int64_t brokerTime, HalvaneChar* result,
                                                  int32_t resultLength);

/* "/get_today_status.php": "not_completed", "completed|<readiness>|<percent>|<drawdown>",
 * the service's message, "SIGNATURE_INVALID" or "ERROR". */
HALVANE_API void HALVANE_CALL GetTodayStatus(const HalvaneChar* key, const HalvaneChar* account, HalvaneChar* result,
                                             int32_t resultLength);
HALVANE_API void HALVANE_CALL GetTodayStatusV2(const HalvaneChar* key, const HalvaneChar* account, int64_t brokerTime,
                                               HalvaneChar* result, int32_t resultLength);

/* "/mark_trading_day.php": "success", the service's own status word, the empty text when
 * the service could not be reached or gave no status, or "ERROR". */
HALVANE_API void HALVANE_CALL MarkTradingDay(const HalvaneChar* key, const HalvaneChar* account, HalvaneChar* result,
                                             int32_t resultLength);

#ifdef __cplusplus
}
#endif

#endif /* HALVANE_H */
