#pragma once
// Built-in constants of the SDK: the back end's endpoints, the session-token key, default risk
// limits, trading assumptions and logging defaults. Every value is fixed at build time; nothing
// is read from the environment, a file or the command line.
//
// Texts are `const char*` so that they convert implicitly to std::string (also as default
// arguments) and to std::string_view. Compare them as strings, not as pointers:
//   std::string(DEFAULT_PROTOCOL) + "://" + DEFAULT_BACKEND_SERVER
// Percentages are in per cent: 5.0 means five per cent.

#include "tolbu_sdk/platform/export.hpp"

// The SDK's built-in defaults and the logging set-up of a strategy.
namespace tolbu_sdk::utils {

// The module's documentation text (defined in the library).
extern TOLBU_API const char* const DEFAULTS_DOC;

// Endpoints and session storage. Four hosts: gateway, micro API, static content, streaming.
inline constexpr const char* DEFAULT_BACKEND_SERVER = "api.tolbu.example";
// The authentication service.
inline constexpr const char* DEFAULT_AUTH_SERVER = "https://api.tolbu.example/api/authen";
// Base URL of the market-data (micro API) service.
inline constexpr const char* DEFAULT_MICRO_CONTROL = "https://micro.tolbu.example";
// Host of static content.
inline constexpr const char* DEFAULT_STATIC_SERVER = "static.tolbu.example";
// WebSocket address of the real-time server.
inline constexpr const char* DEFAULT_STREAMING_WS =
    "wss://stream.tolbu.example/connection/websocket";
// HTTP-streaming address of the real-time server.
inline constexpr const char* DEFAULT_STREAMING_HTTP =
    "https://stream.tolbu.example/connection/http_stream";
// Server-sent-events address of the real-time server.
inline constexpr const char* DEFAULT_STREAMING_SSE = "https://stream.tolbu.example/connection/sse";
// Protocol of the REST services.
inline constexpr const char* DEFAULT_PROTOCOL = "https";
// Key under which the session token is stored.
inline constexpr const char* DEFAULT_STORAGE_TOKEN_KEY = "tolbu_session_token";

// Risk limits (values only; nothing in the SDK enforces them).
inline constexpr double DEFAULT_MAX_DAILY_LOSS = 10000.0;
// Daily profit at which to stop trading, in money.
inline constexpr double DEFAULT_MAX_DAILY_PROFIT = 50000.0;
// Loss of one position, in per cent of its value, at which to close it.
inline constexpr double DEFAULT_MAX_POSITION_LOSS_PCT = 5.0;
// Profit of one position, in per cent of its value, at which to take it.
inline constexpr double DEFAULT_MAX_POSITION_PROFIT_PCT = 10.0;
// Positions open at once.
inline constexpr int DEFAULT_MAX_OPEN_POSITIONS = 10;
// Quantity of one order.
inline constexpr int DEFAULT_MAX_ORDER_QTY = 1000;
// Drawdown of the account, in per cent, at which to stop trading.
inline constexpr double DEFAULT_MAX_DRAWDOWN_PCT = 15.0;
// Distance of a trailing stop, in per cent of the price.
inline constexpr double DEFAULT_TRAILING_STOP_PCT = 2.0;

// Trading assumptions.
inline constexpr double DEFAULT_INITIAL_CAPITAL = 100000.0;
// Commission, in per cent of the traded value.
inline constexpr double DEFAULT_COMMISSION_PCT = 0.1;
// Slippage assumed per fill, in ticks.
inline constexpr int DEFAULT_SLIPPAGE_TICKS = 1;

// Logging: the defaults of setup_logging. Paths are relative to the working directory.
inline constexpr const char* DEFAULT_LOG_LEVEL = "DEBUG";
// The main log file.
inline constexpr const char* DEFAULT_LOG_FILE = "logs/tolbu_strategy.log";
// The file of WARNING and worse.
inline constexpr const char* DEFAULT_WARN_LOG_FILE = "logs/warn.log";
// The streaming loggers' own file.
inline constexpr const char* DEFAULT_STREAM_LOG_FILE = "logs/stream.log";
inline constexpr int DEFAULT_LOG_MAX_SIZE_MB = 10;  // rotation size, mebibytes
// Rotated files kept per log file.
inline constexpr int DEFAULT_LOG_BACKUP_COUNT = 5;

}  // namespace tolbu_sdk::utils
