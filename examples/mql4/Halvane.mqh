//+------------------------------------------------------------------+
//| Halvane.mqh: terminal-side declarations and wrappers for         |
//| halvane.dll, the client of the trading-discipline service, for   |
//| 32-bit terminals.                                                |
//|                                                                  |
//| Put the 32-bit halvane.dll (the package's x86 folder) into the   |
//| terminal's MQL4\Libraries folder and allow DLL imports for the   |
//| program that includes this file. The terminal calls imported     |
//| functions as __stdcall, which is how the 32-bit module exports   |
//| them. Every call blocks the calling thread for one HTTPS         |
//| exchange, up to 15 s per connection phase and 20 s for the       |
//| reply: call from an expert advisor or a script, never from an    |
//| indicator.                                                       |
//+------------------------------------------------------------------+
#property strict

#import "halvane.dll"
// Strings are UTF-16 (#property strict). The result is a string initialised to a capacity
// and passed by reference; resultLength is that capacity in characters, terminating zero
// included. The broker time is a long: 64 bits, as in the module.
void GetDailyQuiz(string key, string account, string &result, int resultLength);
void GetDailyQuizV2(string key, string account, long brokerTime, string &result, int resultLength);
void SubmitQuizAnswers(string key, string account, string answers, string &result, int resultLength);
void SubmitQuizAnswersV2(string key, string account, string answers, long brokerTime, string &result, int resultLength);
void GetTodayStatus(string key, string account, string &result, int resultLength);
void GetTodayStatusV2(string key, string account, long brokerTime, string &result, int resultLength);
void MarkTradingDay(string key, string account, string &result, int resultLength);
#import

// Buffer sizes. A result that does not fit is never cut: the module answers "ERROR"
// instead, so the quiz buffer must hold the longest quiz reply the service sends.
#define HALVANE_QUIZ_CAPACITY   32768
#define HALVANE_RESULT_CAPACITY 1024

// Outcomes every wrapper reports.
enum HalvaneOutcome
  {
   HALVANE_OK,                 // a verified answer from the service
   HALVANE_REFUSED,            // the service refused; see .message
   HALVANE_SIGNATURE_INVALID,  // a reply claimed success but its signature did not verify
   HALVANE_ERROR               // no usable answer: network, server, buffer or memory failure
  };

//--- Splits "a|b|c" into parts; returns the count.
int HalvaneSplit(const string text, string &parts[])
  {
   return StringSplit(text, '|', parts);
  }

//--- Runs the common classification of a result text.
HalvaneOutcome HalvaneClassify(const string result, const string successPrefix, string &message)
  {
   message = "";
   if(result == "ERROR")
      return HALVANE_ERROR;
   if(result == "SIGNATURE_INVALID")
      return HALVANE_SIGNATURE_INVALID;
   if(StringFind(result, successPrefix) == 0)
      return HALVANE_OK;
   message = result;
   return HALVANE_REFUSED;
  }

//+------------------------------------------------------------------+
//| The day's quiz: on HALVANE_OK, quizJson holds the whole reply.    |
//+------------------------------------------------------------------+
HalvaneOutcome HalvaneGetDailyQuiz(const string key, const string account, const long brokerTime,
                                   string &quizJson, string &message)
  {
   string result;
   StringInit(result, HALVANE_QUIZ_CAPACITY, 0);
   GetDailyQuizV2(key, account, brokerTime, result, HALVANE_QUIZ_CAPACITY);
   HalvaneOutcome outcome = HalvaneClassify(result, "{\"status\":\"success\"", message);
   quizJson = (outcome == HALVANE_OK) ? result : "";
   return outcome;
  }

//+------------------------------------------------------------------+
//| Submits the answers, e.g. "1=a&2=c&3=b"; on HALVANE_OK gives the  |
//| readiness verdict and the allowed volume percentage.             |
//+------------------------------------------------------------------+
HalvaneOutcome HalvaneSubmitQuizAnswers(const string key, const string account, const string answers,
                                        const long brokerTime, string &readiness, double &volumePercent,
                                        string &message)
  {
   string result;
   StringInit(result, HALVANE_RESULT_CAPACITY, 0);
   SubmitQuizAnswersV2(key, account, answers, brokerTime, result, HALVANE_RESULT_CAPACITY);
   HalvaneOutcome outcome = HalvaneClassify(result, "success|", message);
   readiness = "";
   volumePercent = 0.0;
   if(outcome == HALVANE_OK)
     {
      string parts[];
      if(HalvaneSplit(result, parts) >= 3)
        {
         readiness = parts[1];
         volumePercent = StringToDouble(parts[2]);
        }
     }
   return outcome;
  }

//+------------------------------------------------------------------+
//| Today's status: completed or not and, once completed, the         |
//| verdict, the allowed volume percentage and the drawdown flag.     |
//+------------------------------------------------------------------+
HalvaneOutcome HalvaneGetTodayStatus(const string key, const string account, const long brokerTime,
                                     bool &completed, string &readiness, double &volumePercent,
                                     bool &drawdownHit, string &message)
  {
   string result;
   StringInit(result, HALVANE_RESULT_CAPACITY, 0);
   GetTodayStatusV2(key, account, brokerTime, result, HALVANE_RESULT_CAPACITY);
   completed = false;
   readiness = "";
   volumePercent = 0.0;
   drawdownHit = false;
   if(result == "not_completed")
     {
      message = "";
      return HALVANE_OK;
     }
   HalvaneOutcome outcome = HalvaneClassify(result, "completed|", message);
   if(outcome == HALVANE_OK)
     {
      string parts[];
      if(HalvaneSplit(result, parts) >= 4)
        {
         completed = true;
         readiness = parts[1];
         volumePercent = StringToDouble(parts[2]);
         drawdownHit = (parts[3] == "true");
        }
     }
   return outcome;
  }

//+------------------------------------------------------------------+
//| Marks today as a trading day. statusWord is the service's word:   |
//| "success", or its own refusal word; empty when the service could  |
//| not be reached. This reply is not signed.                        |
//+------------------------------------------------------------------+
HalvaneOutcome HalvaneMarkTradingDay(const string key, const string account, string &statusWord)
  {
   string result;
   StringInit(result, HALVANE_RESULT_CAPACITY, 0);
   MarkTradingDay(key, account, result, HALVANE_RESULT_CAPACITY);
   statusWord = result;
   if(result == "success")
      return HALVANE_OK;
   if(result == "" || result == "ERROR")
      return HALVANE_ERROR;
   return HALVANE_REFUSED;
  }
//+------------------------------------------------------------------+
