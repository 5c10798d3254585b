-- Sample data for trying the unloader on the embedded engine:
--   sqlite3 examples/demo.db < examples/demo.sql
--   rowvane user=demo/demo@sqlite:examples/demo.db query=employees
--
-- The declared types are those the engine describes (VARCHAR2, NUMBER(p,s),
-- DATE, TIMESTAMP, ...). SQLite takes no "TO" inside an unquoted type name,
-- so the INTERVAL types are written in double quotes.

PRAGMA foreign_keys = OFF;
BEGIN;

DROP TABLE IF EXISTS documents;
DROP TABLE IF EXISTS orders;
DROP TABLE IF EXISTS employees;
DROP TABLE IF EXISTS departments;

CREATE TABLE departments (
  dept_id   NUMBER(4) PRIMARY KEY,
  name      VARCHAR2(40) NOT NULL,
  location  VARCHAR2(60),
  code      CHAR(3)
);

INSERT INTO departments VALUES (10, 'Accounting', 'New York', 'ACC');
INSERT INTO departments VALUES (20, 'Research', 'Dallas, TX', 'RES');
INSERT INTO departments VALUES (30, 'Sales', 'Chicago', 'SAL');
INSERT INTO departments VALUES (40, 'Operations', NULL, 'OPS');
INSERT INTO departments VALUES (50, 'Entwicklung & Qualität', 'München', NULL);

CREATE TABLE employees (
  emp_id      INTEGER PRIMARY KEY,
  dept_id     NUMBER(4) REFERENCES departments (dept_id),
  first_name  NVARCHAR2(30),
  last_name   VARCHAR2(40),
  email       VARCHAR2(80),
  salary      NUMBER(10,2),
  commission  FLOAT,
  rating      BINARY_DOUBLE,
  hired       DATE,
  badge       RAW(16),
  notes       VARCHAR2(400)
);

INSERT INTO employees VALUES
  (7369, 20, 'John', 'Smith', 'john.smith@example.com', 800, NULL, 3.5,
   '1980-12-17 00:00:00', X'0A1B2C3D', 'plain'),
  (7499, 30, 'Allen', 'O''Brien', 'allen@example.com', 1600.5, 300, 4.25,
   '1981-02-20 09:30:00', X'00FF', 'says "hello", then leaves'),
  (7521, 30, 'Ward', 'Ward, Jr.', NULL, 1250.75, 500.125, NULL,
   '1981-02-22 17:45:10', NULL, 'line one
line two'),
  (7566, 20, 'Jonas', 'Jones', 'jones@example.com', 2975, NULL, 1e-3,
   '1981-04-02 08:00:00', X'', 'path C:\temp\new, back\slash'),
  (7698, 30, 'Zoë', 'Blaké', 'zoe@example.com', 2850, 0, 2.0,
   '1981-05-01 12:00:00', X'DEADBEEF', 'tab	inside'),
  (7782, 10, '李', '小龙', 'li@example.cn', 2450.1, NULL, 123456.789,
   '1981-06-09 23:59:59', X'CAFE', '中文备注 und Umlaute äöü'),
  (7788, 20, 'Ünal', 'Straße', NULL, 3000, NULL, -7.5,
   '1987-04-19 06:07:08', NULL, NULL),
  (7839, 10, 'King', 'Kingsley', 'king@example.com', 5000, NULL, 5,
   '1981-11-17 00:00:00', X'01', 'emoji 😀 and € sign'),
  (7844, 30, 'Turner', 'Turner', 'turner@example.com', 1500, 0, 3,
   '1981-09-08 10:10:10', NULL, ''),
  (7900, 30, 'James', 'James', 'james@example.com', 950, NULL, 2.75,
   '1981-12-03 00:00:00', NULL, 'trailing spaces   '),
  (7902, 20, 'Ford', 'Ford', NULL, 3000, NULL, 4,
   NULL, NULL, 'no hire date'),
  (7934, 50, 'Miller', 'Müller-Lüdenscheidt', 'miller@example.de', 1300.99, NULL, 3.1,
   '1982-01-23 14:00:00', X'00000000', 'semicolon; pipe | caret ^');

CREATE TABLE orders (
  order_id    NUMBER(10) PRIMARY KEY,
  emp_id      INTEGER,
  amount      NUMBER(12,2),
  ordered     DATE,
  shipped     TIMESTAMP,
  delivered   TIMESTAMP WITH TIME ZONE,
  warranty    "INTERVAL YEAR TO MONTH",
  lead_time   "INTERVAL DAY TO SECOND",
  status      CHAR(1),
  comments    VARCHAR2(200)
);

INSERT INTO orders VALUES
  (1001, 7499, 1234.56, '2024-01-15 10:00:00', '2024-01-16 08:30:00.123456',
   '2024-01-18 14:00:00.5 +01:00', '+01-06', '+02 03:04:05.000000', 'S', 'first order'),
  (1002, 7521, 99.99, '2024-02-29 13:05:00', '2024-03-01 00:00:00',
   '2024-03-04 09:15:00 -05:00', '+00-03', '+00 12:00:00.000000', 'S', 'leap day'),
  (1003, 7499, 0, '2024-03-31 23:59:59', NULL, NULL, NULL, NULL, 'N', NULL),
  (1004, 7844, -15.5, '2024-04-01 00:00:00', '2024-04-02 11:11:11.000001',
   '2024-04-03 12:00:00Z', '+02-00', '+01 00:00:00.250000', 'R', 'refund, "partial"'),
  (1005, 7900, 1000000000.01, '2023-12-31 08:00:00', '2024-01-02 16:45:30.5',
   '2024-01-05 10:00:00 +09:00', '+05-11', '+10 00:00:00.000000', 'S', 'big'),
  (1006, 7782, 42, '2024-05-05 05:05:05', '2024-05-06 06:06:06.666666',
   '2024-05-07 07:07:07.7 +05:30', NULL, '+00 00:30:00.000000', NULL, '数量 42');

CREATE TABLE documents (
  doc_id    INTEGER PRIMARY KEY,
  title     VARCHAR2(100),
  body      CLOB,
  body_n    NCLOB,
  image     BLOB
);

INSERT INTO documents VALUES (1, 'empty values', '', '', X'');
INSERT INTO documents VALUES (2, 'small values', 'Hello, world!
Second line with "quotes" and a \ backslash.', 'Grüße, 世界', X'89504E470D0A1A0A0000000D49484452');
INSERT INTO documents VALUES (3, 'large values',
  replace(hex(zeroblob(12000)), '00', 'Lorem ipsum '),
  replace(hex(zeroblob(9000)), '00', 'Ünïcödé 文字 '),
  zeroblob(120000));
INSERT INTO documents VALUES (4, 'all null', NULL, NULL, NULL);
INSERT INTO documents VALUES (5, 'exactly 32768 bytes',
  replace(hex(zeroblob(4096)), '00', 'abcdefgh'),
  'n',
  zeroblob(32768));

COMMIT;
